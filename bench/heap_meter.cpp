// Counting allocator. The executable's definitions of malloc and friends take
// precedence over the C library's for the whole process; each one forwards to
// the C library's implementation (__libc_malloc and so on) and adds or removes
// malloc_usable_size of the block, which is what the allocator really set
// aside for it (the request rounded up), not counting its 8-byte header.
#include "heap_meter.h"

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {

// Atomic: OpenBLAS's worker threads may allocate too.
std::atomic<std::size_t> gLive{0};
std::atomic<std::size_t> gPeak{0};
std::atomic<bool> gCounting{true};

void added(void* p) {
  if (p == nullptr || !gCounting.load(std::memory_order_relaxed)) return;
  const std::size_t size = malloc_usable_size(p);
  const std::size_t now = gLive.fetch_add(size) + size;
  std::size_t peak = gPeak.load();
  while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
  }
}

void removed(void* p) {
  if (p != nullptr && gCounting.load(std::memory_order_relaxed)) {
    gLive.fetch_sub(malloc_usable_size(p));
  }
}

bool isPowerOfTwo(std::size_t x) { return x != 0 && (x & (x - 1)) == 0; }

}  // namespace

namespace heap_meter {

std::size_t liveBytes() { return gLive.load(); }
std::size_t peakBytes() { return gPeak.load(); }
void resetPeak() { gPeak.store(gLive.load()); }
void stop() { gCounting.store(false); }

}  // namespace heap_meter

extern "C" {

void* malloc(std::size_t size) {
  void* p = __libc_malloc(size);
  added(p);
  return p;
}

void* calloc(std::size_t count, std::size_t size) {
  void* p = __libc_calloc(count, size);
  added(p);
  return p;
}

void* realloc(void* old, std::size_t size) {
  if (!gCounting.load(std::memory_order_relaxed)) return __libc_realloc(old, size);
  const std::size_t before = old != nullptr ? malloc_usable_size(old) : 0;
  void* p = __libc_realloc(old, size);
  if (p == nullptr) {
    // realloc(old, 0) frees old and may return null; any other failure keeps it.
    if (size == 0) gLive.fetch_sub(before);
    return nullptr;
  }
  gLive.fetch_sub(before);
  added(p);
  return p;
}

void free(void* p) {
  removed(p);
  __libc_free(p);
}

void* memalign(std::size_t alignment, std::size_t size) {
  void* p = __libc_memalign(alignment, size);
  added(p);
  return p;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (!isPowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
  void* p = memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(std::size_t size) { return memalign(std::size_t(sysconf(_SC_PAGESIZE)), size); }

void* pvalloc(std::size_t size) {
  const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
  return memalign(page, (size + page - 1) / page * page);
}

}  // extern "C"
