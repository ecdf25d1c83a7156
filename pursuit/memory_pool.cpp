#include "tilevista/memory_pool.h"

#include <new>

// In the sanitizer builds a kept piece is poisoned, as freed memory is, beyond
// its header: a use of storage after it was given back is reported as if it
// had been freed. (The leak checker does not follow pointers in poisoned
// memory, and kept pieces are reached through the headers.)
#if defined(__SANITIZE_ADDRESS__)
#define TILEVISTA_POOL_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TILEVISTA_POOL_POISONS 1
#endif
#endif
#if defined(TILEVISTA_POOL_POISONS)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(piece, size) ASAN_POISON_MEMORY_REGION(piece, size)
#define POOL_UNPOISON(piece, size) ASAN_UNPOISON_MEMORY_REGION(piece, size)
#else
#define POOL_POISON(piece, size) ((void)(piece), (void)(size))
#define POOL_UNPOISON(piece, size) ((void)(piece), (void)(size))
#endif

namespace {

// A kept piece's first two words: the next piece in its list, and its size.
// Every piece is at least one aligned line long.
struct KeptHeader {
  void* next;
  std::size_t size;
};
static_assert(sizeof(KeptHeader) <= MemoryPool::kAlignment, "a piece holds its header");

KeptHeader* header(void* piece) { return static_cast<KeptHeader*>(piece); }

void freePiece(void* piece) noexcept {
  ::operator delete(piece, std::align_val_t{MemoryPool::kAlignment});
}

// Pops the first piece of a list, usable again whole; null when it is empty.
void* pop(void** list) {
  void* piece = *list;
  if (piece != nullptr) {
    *list = header(piece)->next;
    // The next pop reads that piece's header, which a call last touched long
    // ago: fetched now, while the caller works, it is not a wait then.
    if (*list != nullptr) __builtin_prefetch(*list, 1);
    POOL_UNPOISON(piece, header(piece)->size);
  }
  return piece;
}

// Pushes a piece on a list; it is not to be used until popped.
void push(void** list, void* piece, std::size_t size) {
  header(piece)->next = *list;
  header(piece)->size = size;
  *list = piece;
  POOL_POISON(static_cast<char*>(piece) + sizeof(KeptHeader), size - sizeof(KeptHeader));
}

}  // namespace

MemoryPool& MemoryPool::shared() {
  // Destroyed at exit, or when the module is unloaded (Octave's clear): what
  // it keeps is freed then, not left behind.
  static MemoryPool pool;
  return pool;
}

MemoryPool::~MemoryPool() {
  closed_.store(true);
  keepAtMost(0);
}

std::size_t MemoryPool::roundedSize(std::size_t bytes) {
  if (bytes > static_cast<std::size_t>(-1) - kAlignment) throw std::bad_alloc();
  return bytes == 0 ? kAlignment : (bytes + kAlignment - 1) / kAlignment * kAlignment;
}

MemoryPool::Bucket* MemoryPool::bucketFor(std::size_t size) {
  Bucket* empty = nullptr;
  for (Bucket& bucket : buckets_) {
    if (bucket.size == size) return &bucket;
    if (empty == nullptr && bucket.older == nullptr && bucket.recent == nullptr) empty = &bucket;
  }
  if (empty != nullptr) empty->size = size;
  return empty;
}

void* MemoryPool::reuse(std::size_t size) {
  const std::lock_guard<std::mutex> hold(lock_);
  for (Bucket& bucket : buckets_) {
    if (bucket.size != size) continue;
    // The older pieces first: what a call does not reuse of them is freed.
    void* piece = pop(&bucket.older);
    if (piece == nullptr) piece = pop(&bucket.recent);
    if (piece != nullptr) {
      kept_ -= size;
      taken_ += size;
    }
    return piece;
  }
  return nullptr;
}

void MemoryPool::noteTaken(std::size_t size) {
  const std::lock_guard<std::mutex> hold(lock_);
  taken_ += size;
}

void* MemoryPool::take(std::size_t bytes) {
  const std::size_t size = roundedSize(bytes);
  if (void* piece = reuse(size)) return piece;
  void* piece = nullptr;
  try {
    piece = ::operator new(size, std::align_val_t{kAlignment});
  } catch (const std::bad_alloc&) {
    // What is kept may be what the system lacks.
    if (keepAtMost(0) == 0) throw;
    piece = ::operator new(size, std::align_val_t{kAlignment});
  }
  noteTaken(size);
  return piece;
}

void MemoryPool::give(void* piece, std::size_t bytes) noexcept {
  if (piece == nullptr) return;
  if (closed_.load()) {
    freePiece(piece);
    return;
  }
  const std::size_t size = roundedSize(bytes);  // cannot throw: take() rounded it before
  {
    const std::lock_guard<std::mutex> hold(lock_);
    taken_ -= size;
    if (calls_ > 0 || kept_ + size <= limit_) {
      if (Bucket* bucket = bucketFor(size)) {
        push(&bucket->recent, piece, size);
        kept_ += size;
        return;
      }
    }
  }
  freePiece(piece);
}

void MemoryPool::beginCall() noexcept {
  const std::lock_guard<std::mutex> hold(lock_);
  if (calls_++ > 0) return;
  callBase_ = taken_;
  for (Bucket& bucket : buckets_) {
    if (bucket.older == nullptr) {
      bucket.older = bucket.recent;  // the usual case: the last call freed its unused ones
    } else {
      while (void* piece = pop(&bucket.recent)) push(&bucket.older, piece, bucket.size);
    }
    bucket.recent = nullptr;
  }
}

std::size_t MemoryPool::endCall() noexcept {
  const std::lock_guard<std::mutex> hold(lock_);
  if (calls_ > 0) --calls_;
  return taken_ > callBase_ ? taken_ - callBase_ : 0;
}

std::size_t MemoryPool::freeUnused() noexcept {
  void* unlinked = nullptr;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    if (calls_ > 0) return 0;
    unlinked = unlinkBeyond(0, true);
  }
  return freeLinked(unlinked);
}

void MemoryPool::setLimit(std::size_t bytes) noexcept {
  const std::lock_guard<std::mutex> hold(lock_);
  limit_ = bytes;
}

void* MemoryPool::unlinkBeyond(std::size_t bytes, bool olderOnly) {
  void* unlinked = nullptr;
  for (void* Bucket::*list : {&Bucket::older, &Bucket::recent}) {
    if (olderOnly && list == &Bucket::recent) break;
    for (Bucket& bucket : buckets_) {
      while (kept_ > bytes) {
        void* piece = pop(&(bucket.*list));
        if (piece == nullptr) break;
        kept_ -= bucket.size;
        push(&unlinked, piece, bucket.size);
      }
    }
  }
  return unlinked;
}

std::size_t MemoryPool::freeLinked(void* first) noexcept {
  std::size_t freed = 0;
  while (void* piece = pop(&first)) {
    freed += header(piece)->size;
    freePiece(piece);
  }
  return freed;
}

std::size_t MemoryPool::keepAtMost(std::size_t bytes) noexcept {
  void* unlinked = nullptr;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    unlinked = unlinkBeyond(bytes, false);
  }
  return freeLinked(unlinked);
}

std::size_t MemoryPool::keptBytes() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return kept_;
}

std::size_t MemoryPool::takenBytes() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return taken_;
}
