// A block's samples from its orthonormal vectors and quantized levels: the one
// reconstruction the decoder makes and the encoder makes to measure what the
// decoder will get, so that both get the same bits.
//
// Level l of a block's atom k is the coefficient sign(l) (|l| - offset) x step
// (offset in steps, one for |l| = 1, one for larger levels). A block's first
// coefficient is predicted from its decoded neighbours and its level codes the
// difference: the prediction is the block's first vector times a flat block
// at the mean of the samples next to it (neighbourMean), i.e. that mean times
// the sum of the vector's values.
#ifndef TILEVISTA_CODEC_RECONSTRUCTION_H
#define TILEVISTA_CODEC_RECONSTRUCTION_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "image_planes.h"

namespace tilevista {

/// A level's coefficient (without a prediction).
struct Dequantizer {
  double step = 1.0;
  double offsetOne = 0.0;   ///< in steps, for |level| = 1
  double offsetMore = 0.0;  ///< in steps, for |level| > 1
  /// Without branches on the level: its sign and size are data a predictor
  /// cannot learn.
  double value(std::int32_t level) const {
    const double magnitude = std::fabs(double(level));
    const double offset = magnitude == 1.0 ? offsetOne : offsetMore;
    const double v = level == 0 ? 0.0 : (magnitude - offset) * step;
    return std::copysign(v, double(level));  // v > 0 unless the level is 0
  }
};

/// The sum of a vector's N values, in order.
double vectorSum(const double* u, std::int32_t N);

/// The prediction of block q's first coefficient from the planes decoded so
/// far: neighbourMean times firstSum (the sum of the block's first vector).
double firstPrediction(const PlaneGeometry& g, const std::vector<double>& planes, std::int64_t q,
                       double firstSum);

/// Writes block q's samples into the planes: sum over k < m of coefficient k
/// times vector k, the sum taken over k in order for every sample.
/// @param U             in, N x m, column-major, leading dimension N
/// @param coefficients  in, m
/// @param block         scratch, N
void placeBlock(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q,
                const double* U, const double* coefficients, std::int32_t m, double* block);

/// placeBlock for a block whose vectors are its atoms: vector k's sample
/// (i, j) is Dy(i, y[k]) x Dx(j, x[k]) (ScanBasis::atomVector), made as it is
/// used. The same products and sums in the same order: the same bits as
/// placeBlock over the atoms' vectors.
/// @param Dy, Dx  in, blockRows x Ky and blockCols x Kx, column-major
/// @param y, x    in, m atoms' columns of Dy and Dx, in range
void placeAtoms(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q, const double* Dy,
                const double* Dx, const std::uint16_t* y, const std::uint16_t* x,
                const double* coefficients, std::int32_t m, double* block);

/// The samples of a block that later blocks' predictions read: its last
/// column (blockRows samples, top to bottom), then its last row but the
/// corner (blockCols - 1 samples, left to right).
std::int32_t edgeLength(const PlaneGeometry& g);

/// Copies the edge samples (edgeLength) of each of m vectors (N x m) into
/// `edges` (edgeLength x m, column-major).
void vectorEdges(const PlaneGeometry& g, const double* U, std::int32_t m, double* edges);

/// Writes only block q's edge samples into the planes, each as placeBlock
/// computes it (the same sum in the same order), from its vectors' edges.
/// @param edges  in, edgeLength x m, from vectorEdges
void placeBlockEdges(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q,
                     const double* edges, const double* coefficients, std::int32_t m);

/// placeBlockEdges for a block whose vectors are its atoms: each edge sample
/// as placeAtoms computes it, from the dictionaries alone.
/// @param Dy, Dx  in, blockRows x Ky and blockCols x Kx, column-major
/// @param y, x    in, m atoms' columns of Dy and Dx, in range
void placeAtomEdges(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q, const double* Dy,
                    const double* Dx, const std::int32_t* y, const std::int32_t* x,
                    const double* coefficients, std::int32_t m);

/// The coefficients of a block's levels: the dequantized levels, the first
/// plus the prediction.
/// @param levels        in, m
/// @param coefficients  out, m
void blockCoefficients(const Dequantizer& dq, const std::int32_t* levels, std::int32_t m,
                       double prediction, double* coefficients);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_RECONSTRUCTION_H
