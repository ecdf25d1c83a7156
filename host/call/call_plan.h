// How a checked call runs: on how many threads, and whether the memory it
// needs is there. The same for every host.
//
// Memory a call needs beyond its inputs, in doubles (N = rows x cols, N8 = N
// rounded up to a multiple of 8, Q blocks, T threads, m atoms in a block,
// cap = min(Ky x Kx, N)):
// - 2 x Q x N8 for the module's copies of the blocks and their residuals, and
//   Q x N for the approximations in the outputs;
// - on each thread, Ky x Kx + min(Ky x cols, rows x Kx) + N to score a block and
//   build an atom, and, while the outputs are written, N x m + m for the dual
//   vectors and coefficients of the block it writes;
// - for a block of m atoms, 2 x N x m for its orthonormal and dual vectors in
//   the outputs (when wanted) and, until those are filled, its orthonormal
//   vectors in working storage that grows by half when full (at most
//   1.5 x N x m, never beyond N x cap).
// So about 3 x Q x N + 2 x N x (atoms in all) at the end of a call.
#ifndef TILEVISTA_CALL_PLAN_H
#define TILEVISTA_CALL_PLAN_H

#include <cstdint>
#include <string>

#include "call_checks.h"
#include "call_run.h"

/// How a checked call runs, into options: its threads, from the setting of
/// TILEVISTA_THREADS (thread_count.h), fewer when the fixed memory of that many
/// threads does not fit in what the system can still give; and its block
/// scoring, from TILEVISTA_SCORING (unset or empty: the best route there is;
/// "blas"; or the widest instruction set of the generated kernels, "sse3",
/// "sse4", "avx", "avx2" or "avx512"), for comparisons between kernel sets;
/// and its basis work, from TILEVISTA_BASIS (basis_route.h).
/// @param call       in, the checked call
/// @param options    out, threads, scoring and basis, on success
/// @param rejection  out, on failure: a bad TILEVISTA_THREADS, TILEVISTA_SCORING
///                   or TILEVISTA_BASIS, or not even one thread's memory available
/// @return true when the call can run
bool planCall(const CheckedCall& call, CallOptions* options, Rejection* rejection);

/// The rejection of a call that ran out of memory, stating what a call of these
/// sizes needs, so that the caller sees which size to reduce.
/// @param call     in, the checked call
/// @param threads  the threads it ran on
Rejection outOfMemory(const CheckedCall& call, std::int32_t threads);

#endif  // TILEVISTA_CALL_PLAN_H
