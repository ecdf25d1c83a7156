// Memory for a call's outputs that goes back to the system as soon as NumPy
// releases the arrays in it. The outputs are many small arrays (a few per
// block); taken one by one from the C allocator, their memory would stay with
// the process after the arrays are gone (the allocator keeps freed small
// pieces). So they are cut from large mappings of their own, each unmapped
// when the last array in it is released.
#ifndef TILEVISTA_PYTHON_OUTPUT_MEMORY_H
#define TILEVISTA_PYTHON_OUTPUT_MEMORY_H

#include <atomic>
#include <cstddef>

namespace tilevista_python {

/// One mapping, shared by the pieces cut from it: counted references, unmapped
/// with the last.
class Slab {
 public:
  /// A new mapping of at least `bytes` bytes, with one reference (the caller's).
  /// @throws std::bad_alloc when the system refuses it
  static Slab* map(std::size_t bytes);
  void retain() noexcept { references_.fetch_add(1, std::memory_order_relaxed); }
  /// Drops one reference; the last unmaps the memory and deletes the slab.
  void release() noexcept;
  char* memory() const { return memory_; }
  std::size_t size() const { return size_; }

 private:
  Slab(char* memory, std::size_t size) : memory_(memory), size_(size) {}
  char* memory_;
  std::size_t size_;
  std::atomic<long> references_{1};
};

/// A piece of a slab that holds a reference to it until released or handed
/// over.
class SlabPiece {
 public:
  SlabPiece() = default;
  SlabPiece(double* data, Slab* slab) : data_(data), slab_(slab) {}
  SlabPiece(SlabPiece&& other) noexcept : data_(other.data_), slab_(other.slab_) {
    other.data_ = nullptr;
    other.slab_ = nullptr;
  }
  SlabPiece& operator=(SlabPiece&& other) noexcept;
  SlabPiece(const SlabPiece&) = delete;
  SlabPiece& operator=(const SlabPiece&) = delete;
  ~SlabPiece() {
    if (slab_ != nullptr) slab_->release();
  }

  double* data() const { return data_; }
  Slab* slab() const { return slab_; }
  /// Hands the reference to the caller, who must release it; leaves the piece empty.
  Slab* handOver() noexcept;

 private:
  double* data_ = nullptr;
  Slab* slab_ = nullptr;
};

/// Cuts pieces, one after the other, from slabs of its own (a new one when the
/// current is full). Keep one stream per kind of output, so that the arrays a
/// caller keeps hold only slabs of their kind.
class SlabStream {
 public:
  SlabStream() = default;
  SlabStream(const SlabStream&) = delete;
  SlabStream& operator=(const SlabStream&) = delete;
  ~SlabStream() {
    if (slab_ != nullptr) slab_->release();
  }

  /// A piece of `count` doubles, 64-byte aligned, uninitialised.
  /// @throws std::bad_alloc when no memory can be had
  SlabPiece take(std::size_t count);

 private:
  Slab* slab_ = nullptr;
  std::size_t used_ = 0;
};

}  // namespace tilevista_python

#endif  // TILEVISTA_PYTHON_OUTPUT_MEMORY_H
