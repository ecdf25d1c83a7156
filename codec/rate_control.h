// The choice of the coded atoms and of the quantizer's step for a target.
//
// At a step s, with lambda = kLambdaPerStep2 x s^2, every block is quantized
// in turn (blocks in the payload's order, since a block's first coefficient is
// predicted from the blocks decoded before it): each of its atoms in the
// pursuit's order takes the level of least squared error plus lambda times
// its bits, and the block keeps the prefix of its atoms (possibly none) of
// least squared error plus lambda times bits, the error of the atoms left out
// included. Bits are priced with the models of a first coding of the image.
// So an atom is coded where what it removes from the squared error is worth
// its bits at the slope lambda; the coded atoms are a prefix of each block's
// order, and the report's prefix is the shortest prefix of the pursuit's
// global order that holds them all.
//
// The step is then searched: the largest whose decoded image reaches the
// target PSNR, or the smallest whose file fits the target bits per pixel.
// Steps are first tried on estimates (the squared error by Parseval from the
// coefficients, the bits by the prices); the step found is then measured on
// the decoded image itself (the reconstruction the decoder makes, rounded and
// clipped) and on the coded payload, and the estimates are corrected by what
// the measure says until a measured step meets the target. Only measured
// steps are ever chosen, so the PSNR reported is the one a decoder gets.
#ifndef TILEVISTA_CODEC_RATE_CONTROL_H
#define TILEVISTA_CODEC_RATE_CONTROL_H

#include <cstdint>
#include <vector>

#include "block_code.h"
#include "file_format.h"
#include "image_planes.h"
#include "pursuit_atoms.h"
#include "reconstruction.h"

namespace tilevista {

/// lambda / step^2: the slope of the rate-distortion trade at a step.
constexpr double kLambdaPerStep2 = 0.12;

/// The image quantized at one step.
struct Quantization {
  double step = 0.0;
  std::uint16_t offsetOne = 0, offsetMore = 0;  ///< reconstruction offsets, 1/65536 of the step
  /// The blocks' atoms and levels; when estimated, the counts (first) alone.
  BlockCode code;
  /// The decoded planes: every sample when measured, else the samples the
  /// blocks' predictions read.
  std::vector<double> planes;
  bool measured = false;
  /// Measured: of the decoded image, on its own samples. Else estimated from
  /// the coefficients (with the rounding's share).
  double squaredError = 0.0;
  double bits = 0.0;         ///< estimated from the prices: payload and header
  std::uint64_t atoms = 0;   ///< atoms coded
  /// The offsets that would fit these levels best.
  std::uint16_t fittedOne = 0, fittedMore = 0;
};

/// What the encoder aims at: exactly one of the two is > 0.
struct RateTarget {
  double psnr = 0.0;  ///< dB, the least the decoded image may have
  double bits = 0.0;  ///< the most the file may have
};

/// What the rate control settled on.
struct RateChoice {
  Quantization chosen;                ///< measured
  std::vector<std::uint8_t> payload;  ///< chosen.code coded
  std::int32_t stepsTried = 0;        ///< on estimates
  std::int32_t stepsMeasured = 0;
};

/// Everything a quantization reads.
struct QuantizerInput {
  const PlaneGeometry* geometry;
  const CodeShape* shape;
  const PursuitAtoms* atoms;
  const double* image;       ///< the image's own samples, rows x cols x channels
  std::size_t headerBytes;   ///< bytes of the file besides its payload
};

/// Prices of a quantization: tabulated models and every atom's index bits.
struct Prices {
  explicit Prices(const QuantizerInput& in, PayloadModels models);
  PayloadModels models;
  std::vector<double> indexBits;  ///< per atom of the pursuit
};

/// How much a quantization makes.
enum class QuantizeFor {
  kEstimate,  ///< the estimates and the blocks' counts
  kCode,      ///< the estimates and the whole code
  kMeasure,   ///< the whole code and the decoded image, measured
};

/// Quantizes every block at `step` (see above).
/// @param planes  storage for the quantization's planes (any content; an
///                earlier quantization's, to spare an allocation)
Quantization quantizeImage(const QuantizerInput& in, double step, std::uint16_t offsetOne,
                           std::uint16_t offsetMore, const Prices& prices, QuantizeFor what,
                           std::vector<double> planes = {});

/// Searches the step for a target.
/// @throws CodecError(kTarget) when no step reaches it
RateChoice controlRate(const QuantizerInput& in, const RateTarget& target);

/// The squared error (sum over samples) a PSNR allows.
double squaredErrorFor(double psnr, double peak, std::size_t samples);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_RATE_CONTROL_H
