#include "memory_return.h"

#include <cstdlib>  // first: a C library header tells whether it is glibc's

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "tilevista/memory_pool.h"

CallMemory::CallMemory() { MemoryPool::shared().beginCall(); }

CallMemory::~CallMemory() {
  MemoryPool& pool = MemoryPool::shared();
  const std::size_t handedOver = pool.endCall();
  // What was kept before the call and it did not reuse, a call of its sizes
  // does not need.
  const std::size_t freed = pool.freeUnused();
  // The call's size: what it keeps (its working storage) and what it handed
  // over (the outputs, which come back when the caller releases them).
  const std::size_t size = pool.keptBytes() + handedOver;
  pool.setLimit(size);
  if (static_cast<double>(freed) > (kMuchSmaller - 1.0) * static_cast<double>(size)) {
    returnFreedMemory();
  }
}

std::size_t releaseKeptMemory() {
  MemoryPool& pool = MemoryPool::shared();
  pool.setLimit(0);
  const std::size_t freed = pool.keepAtMost(0);
  returnFreedMemory();
  return freed;
}

void returnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
