// Storage for BLAS operands at one fixed alignment.
//
// Some BLAS kernels sum in an order that depends on where their operands sit
// in memory: a kernel may treat the elements before the first aligned one
// apart, so the same values at another address give other rounding. Every
// array the module hands to the BLAS therefore lives in storage of its own,
// aligned to kOperandAlignment bytes, and offsets within it follow from the
// call's sizes alone. Then the results depend on the values, not on where a
// host happened to put them.
#ifndef TILEVISTA_ALIGNED_DOUBLES_H
#define TILEVISTA_ALIGNED_DOUBLES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

/// Alignment, in bytes, of every BLAS operand's storage: a cache line, and the
/// widest vector register of the processors the BLAS has kernels for.
constexpr std::size_t kOperandAlignment = 64;

/// Doubles per aligned line.
constexpr std::size_t kDoublesPerLine = kOperandAlignment / sizeof(double);

/// count rounded up to a whole number of aligned lines, so that arrays laid out
/// one after another at that stride each start aligned.
constexpr std::size_t alignedLength(std::size_t count) {
  return (count + kDoublesPerLine - 1) / kDoublesPerLine * kDoublesPerLine;
}

/// An owned array of doubles whose first element is kOperandAlignment-aligned.
/// Not initialised. Allocated with plain new[], so that the allocation is the
/// one any thread may make (and the one a test can make fail).
class AlignedDoubles {
 public:
  AlignedDoubles() = default;
  /// count doubles; throws std::bad_alloc when they cannot be had.
  explicit AlignedDoubles(std::size_t count) { allocate(count); }
  AlignedDoubles(AlignedDoubles&& other) noexcept { *this = std::move(other); }
  AlignedDoubles& operator=(AlignedDoubles&& other) noexcept {
    raw_ = std::move(other.raw_);
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
    return *this;
  }

  /// First element; null when empty.
  double* get() const { return data_; }
  double& operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return size_; }

  /// Replaces the storage with count new, uninitialised doubles (the old ones
  /// are freed only once the new ones are had).
  void allocate(std::size_t count) {
    if (count > (SIZE_MAX - kOperandAlignment) / sizeof(double)) throw std::bad_alloc();
    std::unique_ptr<unsigned char[]> raw(
        new unsigned char[count * sizeof(double) + kOperandAlignment]);
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(raw.get());
    const std::uintptr_t aligned =
        (address + kOperandAlignment - 1) / kOperandAlignment * kOperandAlignment;
    data_ = reinterpret_cast<double*>(aligned);
    raw_ = std::move(raw);
    size_ = count;
  }

  /// Frees the storage.
  void reset() {
    raw_.reset();
    data_ = nullptr;
    size_ = 0;
  }

 private:
  std::unique_ptr<unsigned char[]> raw_;
  double* data_ = nullptr;
  std::size_t size_ = 0;
};

#endif  // TILEVISTA_ALIGNED_DOUBLES_H
