// A block's atoms while the pursuit runs: orthonormal and dual vectors (N values
// each per atom) and 1-based atom indices, in storage that grows with the block's
// atom count instead of being sized for its capacity up front.
#ifndef TILEVISTA_BLOCK_STORAGE_H
#define TILEVISTA_BLOCK_STORAGE_H

#include <cstdint>
#include <cstdlib>
#include <memory>

class BlockStorage {
 public:
  /// Makes room for at least `columns` atoms of N values each, keeping the stored
  /// ones; grows geometrically up to `cap` columns. New room is not initialised.
  /// Throws std::bad_alloc when memory runs out (the stored atoms stay valid).
  /// @param N        block size, the leading dimension of both matrices
  /// @param columns  atoms the block must be able to hold (<= cap)
  /// @param cap      the block's capacity, never exceeded
  void reserve(std::int32_t N, std::int32_t columns, std::int32_t cap);

  /// N x capacity, column-major, leading dimension N.
  double* ortho() const { return ortho_.get(); }
  double* dual() const { return dual_.get(); }
  /// capacity values each, 1-based indices of the atoms in order of choice.
  double* yIndex() const { return yIndex_.get(); }
  double* xIndex() const { return xIndex_.get(); }

  /// Frees everything.
  void release();

 private:
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  using Buffer = std::unique_ptr<double[], Free>;
  static void grow(Buffer& buffer, std::size_t count);

  std::int32_t capacity_ = 0;
  Buffer ortho_, dual_, yIndex_, xIndex_;
};

#endif  // TILEVISTA_BLOCK_STORAGE_H
