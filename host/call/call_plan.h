// How a checked call runs: on how many threads, by which scoring route, and
// whether the memory it needs is there. The same for every host; the rules
// themselves are the core's (tilevista/threads.h, tilevista/footprint.h,
// tilevista/scoring_routes.h).
#ifndef TILEVISTA_CALL_PLAN_H
#define TILEVISTA_CALL_PLAN_H

#include <cstdint>

#include "call_checks.h"
#include "call_driver.h"

/// Plans a checked call into options: its threads, from TILEVISTA_THREADS,
/// fewer when the memory of that many threads is not there; and its block
/// scoring, from TILEVISTA_SCORING (unset or empty: the best route there is;
/// or a route's name), for comparisons between kernel sets; and its basis
/// work, from TILEVISTA_BASIS (tilevista/basis_routes.h).
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
