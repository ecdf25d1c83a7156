// What the module keeps of one call's memory for the next, and when it gives
// it back to the system: one rule for every host.
//
// A call takes its large pieces of memory (its blocks' copies and residuals,
// their orthonormal vectors, and in Python the memory of its outputs) from the
// module's pool (tilevista/memory_pool.h). When they are given back, the pool
// keeps them for the next call, which then writes into pages the system has
// already mapped in instead of faulting in fresh ones:
//
//  - a call reuses what the pool kept before it; what it did not reuse is
//    freed when it ends (a call of its sizes does not need it);
//  - between calls the pool keeps at most the last call's size: what it kept
//    at its end (its working storage) and what it handed over (in Python
//    its outputs, which come back when the caller releases them); pieces
//    given back beyond that are freed;
//  - after a call that freed more than (kMuchSmaller - 1) times its own
//    size (a call much smaller than the one before it), the C allocator
//    also gives its freed memory back to the system (glibc's malloc_trim);
//  - on request (releaseKeptMemory: tilevista.release_memory() in Python,
//    tilevista_release_memory in Octave) everything kept is freed and the C
//    allocator's freed memory goes back to the system; pieces given back
//    later are freed too, until the next call ends.
//
// Pieces still in use (arrays a caller holds) are never reused: they go back
// to the pool only when released.
#ifndef TILEVISTA_MEMORY_RETURN_H
#define TILEVISTA_MEMORY_RETURN_H

#include <cstddef>

/// A call this many times smaller than the one before it gives the memory
/// it freed back to the system.
constexpr double kMuchSmaller = 4.0;

/// Holds the rule for the length of one call: begun when made, applied when
/// destroyed (on every way out of the call: done, interrupted, out of memory,
/// an exception).
class CallMemory {
 public:
  CallMemory();
  ~CallMemory();
  CallMemory(const CallMemory&) = delete;
  CallMemory& operator=(const CallMemory&) = delete;
};

/// Frees everything the pool keeps and gives the C allocator's freed memory
/// back to the system.
/// @return the bytes the pool had kept
std::size_t releaseKeptMemory();

/// Gives the memory the C allocator holds freed back to the system now
/// (glibc's malloc_trim; nothing elsewhere).
void returnFreedMemory();

#endif  // TILEVISTA_MEMORY_RETURN_H
