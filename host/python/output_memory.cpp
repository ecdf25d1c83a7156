#include "output_memory.h"

#include <new>

#include "tilevista/memory_pool.h"

namespace tilevista_python {
namespace {

// Slabs are taken in this size at least, plus one aligned line per kind of
// output; untouched pages of a large piece take no memory.
constexpr std::size_t kSlabBytes = std::size_t{16} << 20;
constexpr std::size_t kAlignment = 64;

std::size_t roundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

Slab* Slab::map(std::size_t bytes) {
  const std::size_t size = roundUp(bytes, MemoryPool::kAlignment);
  void* memory = MemoryPool::shared().take(size);
  try {
    return new Slab(static_cast<char*>(memory), size);
  } catch (...) {
    MemoryPool::shared().give(memory, size);
    throw;
  }
}

void Slab::release() noexcept {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    MemoryPool::shared().give(memory_, size_);
    delete this;
  }
}

SlabPiece& SlabPiece::operator=(SlabPiece&& other) noexcept {
  if (this != &other) {
    if (slab_ != nullptr) slab_->release();
    data_ = other.data_;
    slab_ = other.slab_;
    other.data_ = nullptr;
    other.slab_ = nullptr;
  }
  return *this;
}

Slab* SlabPiece::handOver() noexcept {
  Slab* slab = slab_;
  data_ = nullptr;
  slab_ = nullptr;
  return slab;
}

SlabPiece SlabStream::take(std::size_t count) {
  const std::size_t bytes = roundUp(count * sizeof(double), kAlignment);
  if (slab_ == nullptr || slab_->size() - used_ < bytes) {
    const std::size_t least = kSlabBytes + static_cast<std::size_t>(kind_) * kAlignment;
    Slab* fresh = Slab::map(bytes > least ? bytes : least);
    if (slab_ != nullptr) slab_->release();
    slab_ = fresh;
    used_ = 0;
  }
  double* data = reinterpret_cast<double*>(slab_->memory() + used_);
  used_ += bytes;
  slab_->retain();
  return SlabPiece(data, slab_);
}

}  // namespace tilevista_python
