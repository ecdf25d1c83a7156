// A block's orthonormal basis grown atom by atom with the pursuit's own steps,
// for layers that rebuild a block's vectors from its atom indices (a decoder
// stores no basis): the same atoms in the same order on the same basis route
// (basis_routes.h) give the same vectors, bit for bit, as the pursuit's own on
// the same processor.
#ifndef TILEVISTA_BLOCK_BASIS_H
#define TILEVISTA_BLOCK_BASIS_H

#include <cstddef>
#include <cstdint>
#include <memory>

class BlockBasis {
 public:
  /// A basis for blocks of rows x cols over the dictionaries Dy (rows x Ky)
  /// and Dx (cols x Kx), column-major, which must outlive it; room for
  /// `capacity` atoms (at most rows x cols), taken as they come.
  /// @param route  the basis route (isBasisRoute); null or "" for the
  ///               default, as a pursuit takes it
  /// @throws std::bad_alloc when its storage cannot be had
  /// @throws std::invalid_argument for a name that is no basis route
  BlockBasis(const double* Dy, std::int32_t Ky, const double* Dx, std::int32_t Kx,
             std::int32_t rows, std::int32_t cols, std::int32_t capacity,
             const char* route = nullptr);
  ~BlockBasis();
  BlockBasis(const BlockBasis&) = delete;
  BlockBasis& operator=(const BlockBasis&) = delete;

  /// Empties the basis, for the next block.
  void clear() { size_ = 0; }

  /// Adds atom (yIndex, xIndex), the outer product of column yIndex of Dy and
  /// column xIndex of Dx, as the pursuit adds an atom: its components along
  /// the vectors held removed by three classical Gram-Schmidt sweeps, then
  /// scaled to unit length. An atom out of range, a full basis, or an atom
  /// whose new direction is not above 1e-7 times its norm (it lies in the span
  /// of those held, as the pursuit never takes it) is refused.
  /// @return false when refused; the basis is then unchanged
  /// @throws std::bad_alloc when storage for more vectors cannot be had
  bool add(std::int32_t yIndex, std::int32_t xIndex);

  /// Vectors held.
  std::int32_t size() const { return size_; }

  /// Vector j (< size()): rows x cols values, column-major, unit norm.
  const double* vector(std::int32_t j) const;

  /// The norm of vector j's direction before it was scaled to unit length.
  double norm(std::int32_t j) const;

 private:
  struct Storage;
  const void* route_;  // the fused kernels, or null for the BLAS route
  const double* Dy_;
  const double* Dx_;
  std::int32_t Ky_, Kx_, rows_, cols_, capacity_;
  std::int32_t size_ = 0;
  std::unique_ptr<Storage> storage_;
};

#endif  // TILEVISTA_BLOCK_BASIS_H
