// Growth of a block's orthonormal set by one atom: classical Gram-Schmidt sweeps
// against the k columns already held. U is N x (at least k+1), column-major with
// leading dimension N; columns 0..k-1 are orthonormal and are only read.
#ifndef TILEVISTA_ORTHOGONALIZE_H
#define TILEVISTA_ORTHOGONALIZE_H

#include <cstdint>

#include "fused_basis.h"

/// Column k of U = a - sum_j (u_j . a) u_j over j < k. All k coefficients are
/// taken from a itself before any subtraction (classical Gram-Schmidt).
/// @param U  in/out, N x (k+1); columns 0..k-1 read, column k written
/// @param a  in, N values, the new atom (unchanged); must not overlap U
/// @param N  block size, also the leading dimension of U
/// @param k  number of columns already held (>= 1)
void projectOutBasis(double* U, const double* a, std::int32_t N, std::int32_t k);

/// Repeats the sweep on column k of U `passes` times; each pass computes all k
/// coefficients from the column as it stands at the start of the pass. passes <= 0
/// changes nothing.
/// @param U       in/out, N x (k+1); columns 0..k-1 read, column k updated
/// @param N       block size, also the leading dimension of U
/// @param k       number of columns already held (>= 1)
/// @param passes  number of sweeps
void reorthogonalize(double* U, std::int32_t N, std::int32_t k, std::int32_t passes);

/// Makes column k of U the unit vector of atom a's direction outside columns
/// 0..k-1, as the pursuit grows a block's basis: a copied for k = 0, else
/// projectOutBasis and two reorthogonalize passes (on the fused route the
/// fused kernels' own sweeps); then scaled by the reciprocal of its norm. Refused when that norm is not above kTol1 times
/// a's, or it or its reciprocal is not finite: the atom adds no usable new
/// direction (column k is then left unscaled, and means nothing).
/// @param U    in/out, N x (k+1), 64-byte aligned; columns 0..k-1 read, column k written
/// @param a    in, N values, 64-byte aligned, the atom (unchanged)
/// @param N    block size, also the leading dimension of U
/// @param k      number of columns already held (>= 0)
/// @param fused  the fused route's kernels (basis_route.h), null for the BLAS route
/// @param nrm    out, on success: the norm of column k before scaling
/// @return false when refused
bool appendOrthonormalVector(double* U, const double* a, std::int32_t N, std::int32_t k,
                             const FusedBasis* fused, double* nrm);

#endif  // TILEVISTA_ORTHOGONALIZE_H
