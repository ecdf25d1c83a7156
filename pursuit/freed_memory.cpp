#include "freed_memory.h"

#include <cstdlib>  // first: a C library header tells whether it is glibc's

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void returnFreedMemory(std::size_t bytes, std::size_t worth) {
  if (bytes >= worth) returnFreedMemory();
}

void returnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}
