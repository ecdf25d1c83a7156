// Growth of a block's dual set: vectors b_j with b_j . a_i = (i == j) for the
// block's atoms a_i, spanning the same space as the atoms. Coefficients of the
// block's approximation are then plain inner products b_j . f.
#ifndef TILEVISTA_BIORTHOGONAL_H
#define TILEVISTA_BIORTHOGONAL_H

#include <cstdint>

/// Adds the dual vector of a new atom and corrects the k earlier ones in place so
/// that biorthogonality holds for all k+1 atoms.
/// @param B    in/out, N x (k+1), column-major, leading dimension N; columns
///             0..k-1 updated, column k written
/// @param a    in, N values, the new atom as synthesised (not orthogonalised)
/// @param u    in, N values, the new unit vector (u . a = nrm)
/// @param nrm  norm of the atom's component orthogonal to the earlier atoms (> 0)
/// @param N    block size, also the leading dimension of B
/// @param k    number of dual vectors already held (0 for the first atom)
void updateBiorthogonalSet(double* B, const double* a, const double* u, double nrm,
                           std::int32_t N, std::int32_t k);

/// A = A - x y^T for the m x n column-major matrix A (leading dimension m).
/// @param A  in/out, m x n
/// @param x  in, m values
/// @param y  in, n values
void rankOneUpdate(double* A, const double* x, const double* y, std::int32_t m, std::int32_t n);

#endif  // TILEVISTA_BIORTHOGONAL_H
