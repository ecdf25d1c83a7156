#include "freed_memory.h"

#include <cstdlib>  // first: a C library header tells whether it is glibc's

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Less than this stays with the allocator, which will hand it out again.
const std::size_t kWorthReturning = std::size_t{16} << 20;

}  // namespace

void returnFreedMemory(std::size_t bytes) {
  if (bytes >= kWorthReturning) returnFreedMemory();
}

void returnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
