// The block-wise greedy pursuit: one call approximates every block of an image
// over the separable dictionary pair, choosing each atom globally across blocks.
#ifndef TILEVISTA_BLOCK_PURSUIT_H
#define TILEVISTA_BLOCK_PURSUIT_H

#include <cstdint>

#include "mex.h"
#include "pursuit_control.h"

/// Runs the whole pursuit for one call of the module.
/// @param approximationCell  in/out, Q-element cell; element i a zero rows x cols
///                           matrix on entry, the approximation of block i on return
/// @param blockCell          in, Q-element cell of rows x cols real double blocks
/// @param Dy                 in, rows x Ky, dictionary Y, column-major
/// @param Dx                 in, cols x Kx, dictionary X, column-major
/// @param tol                stop when the total squared residual falls below it
/// @param Q                  number of blocks
/// @param cols,rows          block size
/// @param Kx,Ky              number of X and Y atoms
/// @param yIndexCell,xIndexCell,dualCell,coefficientCell,orthoCell
///                           in/out, Q-element cells, all empty on entry; on return
///                           the element of a block that received m atoms holds its
///                           1-based Y/X indices (m x 1), dual vectors (N x m),
///                           coefficients (m x 1) and orthonormal vectors (N x m), in
///                           order of choice; other elements stay empty
/// @param maxAtoms           atom budget, 0 for the capacity of all blocks
/// @param atomCount          in/out, Q counters, all 0 on entry; atoms per block
/// @param totalAtoms         out, 1 x 1 matrix, the number of atoms added
/// @param control            threads and interrupt check
/// @return a PursuitResult: kPursuitRan, kPursuitRejected (the reason has been
///         printed) or kPursuitInterrupted
int runBlockPursuit(mxArray* approximationCell, const mxArray* blockCell, const double* Dy,
                    const double* Dx, double tol, std::int32_t Q, std::int32_t cols,
                    std::int32_t rows, std::int32_t Kx, std::int32_t Ky, mxArray* yIndexCell,
                    mxArray* xIndexCell, mxArray* dualCell, mxArray* coefficientCell,
                    mxArray* orthoCell, std::int32_t maxAtoms, std::int32_t* atomCount,
                    mxArray* totalAtoms, const PursuitControl& control);

#endif  // TILEVISTA_BLOCK_PURSUIT_H
