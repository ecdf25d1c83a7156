// Memory the module freed, given back to the system.
#ifndef TILEVISTA_FREED_MEMORY_H
#define TILEVISTA_FREED_MEMORY_H

#include <cstddef>

/// Gives the memory the C allocator holds freed back to the system (glibc's
/// malloc_trim; nothing elsewhere). The blocks' working storage is taken by
/// the worker threads, from allocator arenas of their own, which otherwise
/// keep what was freed in them for the process, beside the host's new output
/// arrays. Takes a few milliseconds on large heaps.
void returnFreedMemory();

/// As returnFreedMemory, when `bytes` were freed and that is worth the time:
/// at least `worth` bytes. The trim walks every arena and flushes the
/// processors' address caches, which costs a small call more than its
/// pursuit, and what it returns, the next call takes from the system again
/// page by page.
void returnFreedMemory(std::size_t bytes, std::size_t worth);

#endif  // TILEVISTA_FREED_MEMORY_H
