// When the memory a call freed goes back to the system: one rule for every
// host. The blocks' working storage is taken by the pursuit's threads, from
// allocator arenas of their own, which keep what was freed in them for the
// process, beside the host's new output arrays. Giving it back costs a few
// milliseconds on large heaps (the trim walks every arena and flushes the
// processors' address caches), and what it returns, the next call takes from
// the system again page by page: so it goes back only once much was freed.
#ifndef TILEVISTA_MEMORY_RETURN_H
#define TILEVISTA_MEMORY_RETURN_H

#include <cstddef>

/// Freed bytes from which they go back to the system.
constexpr double kMemoryReturnThreshold = 64.0 * (1 << 20);

/// Counts what one call frees and gives it back to the system whenever
/// kMemoryReturnThreshold bytes have come together since it last did.
class MemoryReturn {
 public:
  /// Notes bytes freed (or about to be: the outputs a call is about to make
  /// take the place of its working storage); gives the memory back when the
  /// bytes noted since the last time reach the threshold.
  void note(double bytes);

 private:
  double pending_ = 0.0;
};

/// Gives the memory the C allocator holds freed back to the system now
/// (glibc's malloc_trim; nothing elsewhere).
void returnFreedMemory();

#endif  // TILEVISTA_MEMORY_RETURN_H
