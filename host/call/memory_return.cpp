#include "memory_return.h"

#include <cstdlib>  // first: a C library header tells whether it is glibc's

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void MemoryReturn::note(double bytes) {
  pending_ += bytes;
  if (pending_ >= kMemoryReturnThreshold) {
    returnFreedMemory();
    pending_ = 0.0;
  }
}

void returnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
