#include "output_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace tilevista_python {
namespace {

// Slabs are mapped in this size at least: untouched pages of a mapping take no
// memory, so a large slab costs only address space.
constexpr std::size_t kSlabBytes = std::size_t{16} << 20;
constexpr std::size_t kAlignment = 64;

std::size_t roundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

Slab* Slab::map(std::size_t bytes) {
  const std::size_t size = roundUp(bytes, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  try {
    return new Slab(static_cast<char*>(memory), size);
  } catch (...) {
    munmap(memory, size);
    throw;
  }
}

void Slab::release() noexcept {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    munmap(memory_, size_);
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
    Slab* fresh = Slab::map(bytes > kSlabBytes ? bytes : kSlabBytes);
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
