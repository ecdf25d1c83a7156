// A block's atoms while the pursuit runs: orthonormal vectors (N values each per
// atom), the norm each vector had before it was scaled to unit length, and the
// atoms' 0-based indices, in one allocation that grows with the block's atom count instead
// of being sized for its capacity up front. The dual vectors are not kept here:
// nothing in the pursuit reads them, so the driver builds them once at the end
// from these values.
#ifndef TILEVISTA_BLOCK_STORAGE_H
#define TILEVISTA_BLOCK_STORAGE_H

#include <cstddef>
#include <cstdint>

#include "aligned_doubles.h"

class BlockStorage {
 public:
  /// Makes room for at least `columns` atoms of N values each, keeping the stored
  /// ones; grows geometrically up to `cap` columns. New room is not initialised.
  /// Throws std::bad_alloc when memory runs out (the stored atoms stay valid).
  /// @param N        block size, the leading dimension of both matrices
  /// @param columns  atoms the block must be able to hold (<= cap)
  /// @param cap      the block's capacity, never exceeded
  void reserve(std::int32_t N, std::int32_t columns, std::int32_t cap);

  /// N x capacity, column-major, leading dimension N, in aligned storage;
  /// null before reserve().
  double* ortho() const { return slot_.get(); }
  /// capacity values each, in order of choice: the norm of each atom's component
  /// outside the earlier atoms, and the atom's 0-based indices.
  double* norm() const { return at(size() * capacity()); }
  std::int32_t* yIndex() const { return indices(0); }
  std::int32_t* xIndex() const { return indices(capacity()); }

  /// Frees everything.
  void release();

 private:
  std::size_t size() const { return static_cast<std::size_t>(N_); }
  std::size_t capacity() const { return static_cast<std::size_t>(capacity_); }
  double* at(std::size_t offset) const { return slot_.get() ? slot_.get() + offset : nullptr; }
  // The indices share the slot's last capacity doubles: y indices, then x.
  std::int32_t* indices(std::size_t offset) const {
    double* first = at((size() + 1) * capacity());
    return first ? reinterpret_cast<std::int32_t*>(first) + offset : nullptr;
  }

  // One slot, [vectors | norms | y and x indices]: a block's whole state
  // sits together, one allocation per growth.
  AlignedDoubles slot_;
  std::int32_t N_ = 0;
  std::int32_t capacity_ = 0;
};

#endif  // TILEVISTA_BLOCK_STORAGE_H
