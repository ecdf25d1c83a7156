// Memory for a call's outputs, handed to NumPy without a copy. The outputs are
// many small arrays (a few per block), cut from large slabs taken from the
// module's pool of kept memory (tilevista/memory_pool.h); a slab goes back to
// the pool when the last array in it is released, and the pool keeps it for
// the next call or frees it by the module's one rule (host/call/memory_return.h).
// A slab is reused only once no array is left in it, so an array a caller
// keeps is never written over.
#ifndef TILEVISTA_PYTHON_OUTPUT_MEMORY_H
#define TILEVISTA_PYTHON_OUTPUT_MEMORY_H

#include <atomic>
#include <cstddef>

namespace tilevista_python {

/// One slab, shared by the pieces cut from it: counted references, given back
/// to the pool with the last.
class Slab {
 public:
  /// A slab of at least `bytes` bytes, with one reference (the caller's).
  /// @throws std::bad_alloc when the system refuses it
  static Slab* map(std::size_t bytes);
  void retain() noexcept { references_.fetch_add(1, std::memory_order_relaxed); }
  /// Drops one reference; the last gives the memory back to the pool and
  /// deletes the slab.
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
  /// @param kind  the kind of output, 0 to 15: its slabs have a size of their
  ///              own, so that a kept slab comes back to a stream of its kind,
  ///              which fills it about as far as the last call did (a slab
  ///              filled further touches fresh pages)
  explicit SlabStream(int kind) : kind_(kind) {}
  SlabStream(const SlabStream&) = delete;
  SlabStream& operator=(const SlabStream&) = delete;
  ~SlabStream() {
    if (slab_ != nullptr) slab_->release();
  }

  /// A piece of `count` doubles, 64-byte aligned, uninitialised.
  /// @throws std::bad_alloc when no memory can be had
  SlabPiece take(std::size_t count);

 private:
  int kind_;
  Slab* slab_ = nullptr;
  std::size_t used_ = 0;
};

}  // namespace tilevista_python

#endif  // TILEVISTA_PYTHON_OUTPUT_MEMORY_H
