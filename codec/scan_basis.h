// A block's orthonormal vectors in the order its atoms are coded, the one way
// the decoder rebuilds them and the encoder makes them to measure what the
// decoder gets: the same atoms in the same order give the same vectors, bit
// for bit, on both sides.
//
// Two ways, as the file's header says (BlockVectors): Gram-Schmidt, the
// core's BlockBasis (three classical sweeps per atom, then unit length); or,
// when both dictionaries are orthonormal bases of their side, the atoms
// themselves, whose separable products are orthonormal already. Sample (i, j)
// of atom (y, x), i the row, is then Dy(i, y) x Dx(j, x): one multiplication,
// so its bits cannot depend on the order, the thread or the kernel set.
#ifndef TILEVISTA_CODEC_SCAN_BASIS_H
#define TILEVISTA_CODEC_SCAN_BASIS_H

#include <cstdint>
#include <memory>
#include <vector>

#include "codec_dictionary.h"

class BlockBasis;  // tilevista/block_basis.h

namespace tilevista {

class ScanBasis {
 public:
  /// A basis for blocks of rows x cols over a pair's dictionaries (which must
  /// outlive it), made the way pair.vectors says, with room for `capacity`
  /// atoms (at most rows x cols).
  /// @throws std::bad_alloc when its storage cannot be had
  ScanBasis(const DictionaryPair& pair, std::int32_t rows, std::int32_t cols, std::int32_t capacity);
  ~ScanBasis();
  ScanBasis(const ScanBasis&) = delete;
  ScanBasis& operator=(const ScanBasis&) = delete;

  /// Empties the basis, for the next block.
  void clear();

  /// Adds atom (y, x): column y of Dy times column x of Dx.
  /// @return false, the basis unchanged, for an atom out of range, a full
  ///         basis, or an atom with no direction of its own (Gram-Schmidt:
  ///         one in the span of those held, BlockBasis's rule; the atoms
  ///         themselves: one held already)
  bool add(std::int32_t y, std::int32_t x);

  /// Vectors held.
  std::int32_t size() const;

  /// Vector k (< size()): rows x cols values, column-major, unit norm; the
  /// vectors lie one after the other, so vector(0) starts N x size() values.
  const double* vector(std::int32_t k) const;

  /// Atom (y, x) of a pair whose vectors are its atoms, as add() makes it:
  /// u(i + j rows) = Dy(i, y) x Dx(j, x). y and x must be in range.
  /// @param u  out, rows x cols, column-major
  static void atomVector(const DictionaryPair& pair, std::int32_t rows, std::int32_t cols,
                         std::int32_t y, std::int32_t x, double* u);

 private:
  const DictionaryPair& pair_;
  std::int32_t rows_, cols_, capacity_;
  std::unique_ptr<BlockBasis> gramSchmidt_;  // with BlockVectors::kGramSchmidt
  std::vector<double> atoms_;                // with kAtoms: N x capacity
  std::vector<std::uint8_t> held_;           // with kAtoms: per pair y + x Ky, whether held
  std::vector<std::int32_t> pairs_;          // with kAtoms: the pairs held, in order
};

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_SCAN_BASIS_H
