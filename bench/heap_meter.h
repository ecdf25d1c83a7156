// Process-wide accounting of heap memory. Linking heap_meter.cpp into an
// executable replaces the C allocation functions with counting wrappers around
// the C library's own allocator, so every malloc, calloc, realloc, aligned
// allocation and C++ new of the process (its shared libraries included) is
// counted in the bytes the allocator actually granted.
//
// Memory that a library maps for itself without the C allocator (OpenBLAS's
// per-thread buffers, mapped once when it starts) is not counted.
#ifndef TILEVISTA_BENCH_HEAP_METER_H
#define TILEVISTA_BENCH_HEAP_METER_H

#include <cstddef>

namespace heap_meter {

/// Bytes currently allocated and not yet freed (usable sizes).
std::size_t liveBytes();

/// Highest value liveBytes() has reached since the last resetPeak().
std::size_t peakBytes();

/// Sets the peak to the current live bytes, to measure the peak of what follows.
void resetPeak();

/// Stops counting for the rest of the process, so that timed work that follows
/// pays nothing for it: the allocation functions then only forward, and
/// liveBytes() and peakBytes() keep the values they had.
void stop();

}  // namespace heap_meter

#endif  // TILEVISTA_BENCH_HEAP_METER_H
