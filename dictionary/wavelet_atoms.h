// The periodised wavelet bases of length n. Levels: the signal of length
// m = n splits into m/2 coarse and m/2 detail coefficients while m is even,
// and the coarse part splits again, down to the first odd length (1 when n is
// a power of two). So n = 12 has two levels (12 -> 6 -> 3) and its coarsest
// space keeps 3 coefficients; an odd n has no level and its basis is the
// identity. At a level shorter than a filter the filter wraps around the
// period; an orthonormal bank stays orthonormal there, the length being even.
//
// Atom order: the coarsest level's low-pass atoms, then its high-pass atoms,
// then the high-pass atoms of each finer level, each level by position.
#ifndef TILEVISTA_WAVELET_ATOMS_H
#define TILEVISTA_WAVELET_ATOMS_H

#include <cstdint>

#include "wavelet_filters.h"

namespace tilevista {

/// Which vectors of a bank waveletBasis gives.
enum class WaveletSide { synthesis, analysis };

/// The n basis vectors of a bank's side, not normalised: synthesis vectors
/// are the synthesis bank's responses to unit coefficients, analysis vectors
/// the inner products that give the coefficients, so that for a perfectly
/// reconstructing bank analysis' * synthesis = I.
/// @param bank  in: the filter bank
/// @param side  in: synthesis or analysis vectors
/// @param n     in: rows (>= 1)
/// @param out   out: n x n, column-major, in the atom order above
void waveletBasis(const WaveletBank& bank, WaveletSide side, std::int32_t n, double* out);

/// The synthesis vectors scaled to unit norm: the atoms of the wavelet families.
/// @param bank  in: the filter bank
/// @param n     in: rows (>= 1)
/// @param out   out: n x n, column-major
void waveletAtoms(const WaveletBank& bank, std::int32_t n, double* out);

}  // namespace tilevista

#endif  // TILEVISTA_WAVELET_ATOMS_H
