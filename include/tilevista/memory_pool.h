// Memory the module keeps from one call for the next. A call's large pieces of
// memory (its blocks' copies and residuals, their orthonormal vectors, and a
// host's output memory where the host takes it from here) come from one pool;
// a piece given back is kept, by its size, for the next piece of that size
// instead of going back to the C allocator. A loop of calls of one size then
// finds its memory where the last call left it, in pages the system has
// already mapped in: a page touched for the first time costs a page fault
// (3-15 us on a virtual machine), one touched again almost nothing.
//
// The pool holds kept pieces resident as they are. It does not mark them
// MADV_FREE (which would let the system take them back under pressure): on
// every reuse that costs about a third of the fault it saves, where a page
// kept as it is costs nothing (bench/page_faults.py, docs/benchmarks.md).
// How much it keeps, and when it gives all back, is the host driver's rule
// (host/call/memory_return.h); the pool only carries it out.
#ifndef TILEVISTA_MEMORY_POOL_H
#define TILEVISTA_MEMORY_POOL_H

#include <atomic>
#include <cstddef>
#include <mutex>

/// The module's pool of kept memory; one per process (shared()). Every
/// function may be called from any thread.
class MemoryPool {
 public:
  /// Alignment of every piece, in bytes: the module's BLAS operand alignment.
  static constexpr std::size_t kAlignment = 64;

  /// The module's pool.
  static MemoryPool& shared();

  MemoryPool() = default;
  /// Frees what is kept; a piece given back after it (an array released
  /// during the process's exit) is freed at once.
  ~MemoryPool();
  MemoryPool(const MemoryPool&) = delete;
  MemoryPool& operator=(const MemoryPool&) = delete;

  /// A piece of at least `bytes` bytes, kAlignment-aligned, not initialised:
  /// a kept piece of the same rounded size when there is one, else new memory
  /// (C++'s aligned operator new). When new memory cannot be had, every kept
  /// piece is freed and the allocation tried once more.
  /// @param bytes  size; 0 is taken as 1
  /// @throws std::bad_alloc when the memory cannot be had
  void* take(std::size_t bytes);

  /// Gives back a piece from take() with the `bytes` it was taken with. Kept
  /// while a call runs, or while what is kept stays within the limit; freed
  /// otherwise.
  void give(void* piece, std::size_t bytes) noexcept;

  /// A call starts: the pieces kept so far become the ones it may reuse
  /// (unused ones go with freeUnused()); pieces given back from here on are
  /// kept whatever the limit, until endCall().
  void beginCall() noexcept;
  /// A call ends; calls may overlap, each begin matched by one end.
  /// @return the bytes of pieces taken since the first running call began and
  ///         not given back: what the call hands over (a host's outputs)
  std::size_t endCall() noexcept;
  /// Frees the pieces that were kept when the last call began and that no
  /// call took since.
  /// @return the bytes freed
  std::size_t freeUnused() noexcept;

  /// The most kept outside a call; pieces given back beyond it are freed.
  void setLimit(std::size_t bytes) noexcept;

  /// Frees kept pieces until at most `bytes` are kept.
  /// @return the bytes freed
  std::size_t keepAtMost(std::size_t bytes) noexcept;

  /// Bytes kept for reuse.
  std::size_t keptBytes() const;
  /// Bytes of pieces taken and not given back.
  std::size_t takenBytes() const;

 private:
  // Kept pieces of one size, each list linked through the pieces' first
  // bytes: those kept when the running (or last) call began, which it may
  // reuse, and those given back since.
  struct Bucket {
    std::size_t size = 0;
    void* older = nullptr;
    void* recent = nullptr;
  };
  static constexpr int kBuckets = 64;

  static std::size_t roundedSize(std::size_t bytes);
  Bucket* bucketFor(std::size_t size);  // with lock_ held; null when all are in use
  void* reuse(std::size_t size);        // a kept piece of that size, taken, or null
  void noteTaken(std::size_t size);
  // Unlinks kept pieces (from `older` lists only, or from both) until at most
  // `bytes` remain; with lock_ held. Returns them linked, to be freed without
  // the lock.
  void* unlinkBeyond(std::size_t bytes, bool olderOnly);
  static std::size_t freeLinked(void* first) noexcept;

  mutable std::mutex lock_;
  Bucket buckets_[kBuckets];
  std::size_t kept_ = 0, taken_ = 0, limit_ = 0;
  int calls_ = 0;
  std::size_t callBase_ = 0;
  std::atomic<bool> closed_{false};
};

#endif  // TILEVISTA_MEMORY_POOL_H
