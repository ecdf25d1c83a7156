// An owned array of doubles from the module's pool of kept memory
// (tilevista/memory_pool.h): the storage a call holds for its blocks, which the
// next call of the same sizes finds again instead of asking the system for
// fresh pages. Aligned as AlignedDoubles is (kOperandAlignment), for the BLAS.
#ifndef TILEVISTA_POOLED_DOUBLES_H
#define TILEVISTA_POOLED_DOUBLES_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "aligned_doubles.h"
#include "tilevista/memory_pool.h"

static_assert(MemoryPool::kAlignment % kOperandAlignment == 0,
              "the pool's pieces are aligned for the BLAS");

class PooledDoubles {
 public:
  PooledDoubles() = default;
  /// count doubles, uninitialised; throws std::bad_alloc when they cannot be had.
  explicit PooledDoubles(std::size_t count) { allocate(count); }
  PooledDoubles(PooledDoubles&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  PooledDoubles& operator=(PooledDoubles&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  PooledDoubles(const PooledDoubles&) = delete;
  PooledDoubles& operator=(const PooledDoubles&) = delete;
  ~PooledDoubles() { reset(); }

  /// First element; null when empty.
  double* get() const { return data_; }
  std::size_t size() const { return size_; }

  /// Replaces the storage with count new, uninitialised doubles (the old ones
  /// go back to the pool only once the new ones are had).
  void allocate(std::size_t count) {
    if (count > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
    auto* fresh = static_cast<double*>(MemoryPool::shared().take(count * sizeof(double)));
    reset();
    data_ = fresh;
    size_ = count;
  }

  /// Gives the storage back to the pool.
  void reset() noexcept {
    if (data_ != nullptr) MemoryPool::shared().give(data_, size_ * sizeof(double));
    data_ = nullptr;
    size_ = 0;
  }

 private:
  double* data_ = nullptr;
  std::size_t size_ = 0;
};

#endif  // TILEVISTA_POOLED_DOUBLES_H
