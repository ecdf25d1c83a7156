// The redundant cosine and sine families: K frequencies equally spaced over a
// half period, sampled at the n cell centres r + 1/2.
#ifndef TILEVISTA_TRIGONOMETRIC_ATOMS_H
#define TILEVISTA_TRIGONOMETRIC_ATOMS_H

#include <cstdint>

namespace tilevista {

/// Column k (0-based) samples cos(pi (r + 1/2) k / K), r = 0..n-1, then has
/// unit norm: the toolbox's redundant cosine dictionary, bit for bit (pi times
/// r + 1/2 first, then times k, then divided by K, as the toolbox evaluates
/// it). K = n gives the orthonormal DCT-II basis.
/// @param n    in: rows (>= 1)
/// @param K    in: columns (>= 1)
/// @param out  out: n x K, column-major
void cosineAtoms(std::int32_t n, std::int32_t K, double* out);

/// Column k (0-based) samples sin(pi (r + 1/2) (k + 1) / K), then has unit
/// norm: the frequencies of the cosines moved up by one step, so that none is
/// zero. K = n gives the orthonormal DST-II basis.
/// @param n    in: rows (>= 1)
/// @param K    in: columns (>= 1)
/// @param out  out: n x K, column-major
void sineAtoms(std::int32_t n, std::int32_t K, double* out);

}  // namespace tilevista

#endif  // TILEVISTA_TRIGONOMETRIC_ATOMS_H
