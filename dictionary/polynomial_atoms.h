// The polynomial families: polynomials of degree 0..K-1 sampled at the n cell
// centres x_i = (2i + 1)/n - 1 of [-1, 1], i = 0..n-1. On n points a
// polynomial of degree n or more is no new vector (it agrees there with one of
// lower degree), so K <= n.
#ifndef TILEVISTA_POLYNOMIAL_ATOMS_H
#define TILEVISTA_POLYNOMIAL_ATOMS_H

#include <cstdint>

namespace tilevista {

/// The discrete orthonormal polynomials of the cell centres (the discrete
/// counterpart of Legendre's, orthonormal for equal weights on the n points):
/// column 0 is constant; column k is x times column k-1, made orthogonal to
/// columns 0..k-1 by Gram-Schmidt done twice, then normalised, with a positive
/// last sample (as Legendre's P_k(1) > 0). Column k has degree k, and the
/// columns are orthonormal to rounding, also for K = n.
/// @param n    in: rows (>= 1)
/// @param K    in: columns, 1..n
/// @param out  out: n x K, column-major
void legendreAtoms(std::int32_t n, std::int32_t K, double* out);

/// Column k holds the Chebyshev polynomial T_k at the cell centres, by the
/// recurrence T_{k+1} = 2 x T_k - T_{k-1}, scaled to unit norm. Not
/// orthogonal on these points.
/// @param n    in: rows (>= 1)
/// @param K    in: columns, 1..n
/// @param out  out: n x K, column-major
void chebyshevAtoms(std::int32_t n, std::int32_t K, double* out);

}  // namespace tilevista

#endif  // TILEVISTA_POLYNOMIAL_ATOMS_H
