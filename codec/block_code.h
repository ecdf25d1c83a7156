// What the payload holds: every block's set of atoms and their quantized
// levels, and how it is coded. Blocks are coded channel after channel, each
// channel's block grid column by column (the order the image itself is stored
// in), so that a block's upper and left neighbours are coded before it.
//
// A block's atoms are coded as a set, in the scan order of the dictionary
// pairs (by the sum of the pair's two indices, then by its Y index): the
// block's count, then for every atom the gap in scan order from the one
// before, and its level. The block's basis is built in that same order, so
// the order the pursuit found the atoms in costs no bits.
//
// The models are chosen by integer facts alone (neighbours' counts, an atom's
// place in the scan, the previous level), never by reconstructed values, so
// that the parsing of a payload cannot depend on floating-point rounding. A
// block's first level is the quantized difference from a prediction and may be
// 0; every later level is nonzero (its sign is a raw bit), so every atom after
// a block's first costs at least one bit of payload, which bounds what a
// payload can make a decoder do.
#ifndef TILEVISTA_CODEC_BLOCK_CODE_H
#define TILEVISTA_CODEC_BLOCK_CODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "range_coder.h"
#include "symbol_models.h"

namespace tilevista {

/// The shape of what is coded: the block grid of every channel, the
/// dictionaries' sizes, the scan order of their pairs and the bound of a
/// level's magnitude.
struct CodeShape {
  std::int32_t gridRows = 0, gridCols = 0;  ///< blocks down and across one channel
  std::int32_t channels = 1;
  std::int32_t Ky = 1, Kx = 1;
  std::int32_t capacity = 1;          ///< most atoms a block can hold: min(Ky x Kx, N)
  std::uint32_t levelBound = 1;       ///< largest |level|
  /// Scan order: the rank of pair (y, x) at y + Ky x, and the pair (y + Ky x)
  /// at each rank.
  std::vector<std::uint32_t> rankOf, pairAt;
  /// Blocks in all: gridRows x gridCols x channels.
  std::int64_t blocks() const {
    return std::int64_t(gridRows) * gridCols * channels;
  }
  /// Pairs in all: Ky x Kx.
  std::uint32_t pairs() const { return std::uint32_t(Ky) * std::uint32_t(Kx); }
  /// The scan rank of atom (y, x).
  std::uint32_t rank(std::uint32_t y, std::uint32_t x) const {
    return rankOf[std::size_t(y) + std::size_t(Ky) * std::size_t(x)];
  }
};

/// The shape of the code of an image: its grid, its dictionaries' sizes (at
/// most kMaxAtomPairs pairs), the capacity of a block of N pixels and the
/// level bound. The bound holds for every step a file may have: no
/// coefficient (nor its difference from a prediction) exceeds 4 sqrt(N) times
/// half the samples' range, and no step is below 2^-14 times that range.
CodeShape codeShapeFor(std::int32_t gridRows, std::int32_t gridCols, std::int32_t channels,
                       std::int32_t Ky, std::int32_t Kx, std::int32_t N);

/// Every block's atoms and levels. Block q (0-based) is block (q mod gridRows,
/// (q / gridRows) mod gridCols) of channel q / (gridRows x gridCols); its atoms
/// are first[q] .. first[q+1]-1 of the per-atom arrays, in scan order.
struct BlockCode {
  std::vector<std::uint64_t> first;  ///< blocks + 1 offsets, first[0] = 0
  std::vector<std::uint16_t> yIndex;  ///< per atom, 0-based column of Dy
  std::vector<std::uint16_t> xIndex;  ///< per atom, 0-based column of Dx
  std::vector<std::int32_t> level;    ///< per atom; nonzero except a block's first
  /// Atoms of block q.
  std::int32_t count(std::int64_t q) const {
    return static_cast<std::int32_t>(first[std::size_t(q) + 1] - first[std::size_t(q)]);
  }
};

/// The adaptive models of a payload, in the state the coding has brought them
/// to. Encoding and decoding start from the same fresh state; an encoder may
/// keep a copy of a finished pass to price the next one. The shape must
/// outlive the models.
class PayloadModels {
 public:
  explicit PayloadModels(const CodeShape& shape);

  /// Codes block q of `code` and learns from it.
  /// @param coder  a RangeEncoder, or a ModelTrainer to learn alone
  template <class Coder>
  void encodeBlock(Coder& coder, const BlockCode& code, std::int64_t q);
  /// Decodes block q, appending its atoms to `code` (whose blocks before q are
  /// decoded). Throws CodecError(kPayload) for a symbol out of its range.
  void decodeBlock(RangeDecoder& coder, BlockCode& code, std::int64_t q);

  /// Tabulates the prices of small levels and counts as the models stand, so
  /// that the prices below look them up; for models that code no more.
  void tabulatePrices();
  /// Length of the tabulated prices' rows.
  static constexpr std::int32_t kTabled = 64;
  /// With tabulated prices: the bits of block q's count being m, for m below
  /// kTabled, given the blocks before it in `code`.
  const double* countPrices(const BlockCode& code, std::int64_t q) const;
  /// With tabulated prices: the bits of a level by magnitude (sign included),
  /// for magnitudes below kTabled, of the k-th atom in scan order of block q
  /// of `count` atoms, of scan rank `rank`, after the previous atom's level
  /// `previous`.
  const double* levelPrices(std::int64_t q, std::int32_t count, std::int32_t k, std::uint32_t rank,
                            std::int32_t previous) const;
  /// Bits of block q's count being m, given the blocks before it in `code`.
  double countCost(const BlockCode& code, std::int64_t q, std::int32_t m) const;
  /// Bits of a level (sign included), as levelPrices gives them; infinite for
  /// a level the payload cannot hold (0 after a block's first atom).
  double levelCost(std::int64_t q, std::int32_t count, std::int32_t k, std::uint32_t rank,
                   std::int32_t level, std::int32_t previous) const;

 private:
  std::size_t channelClass(std::int64_t q) const;
  std::size_t countContext(const BlockCode& code, std::int64_t q) const;
  std::size_t gapContext(std::int64_t q, std::uint32_t from, std::int32_t remaining) const;
  std::size_t levelModelIndex(std::int64_t q, std::int32_t count, std::int32_t k,
                              std::uint32_t rank, std::int32_t previous) const;
  double modelLevelCost(std::size_t model, std::uint32_t magnitude) const;

  const CodeShape* shape_;
  std::int64_t plane_;  // blocks of one channel
  std::vector<IntegerModel> counts_;  // channel class x count context
  std::vector<IntegerModel> gaps_;    // channel class x rank class x atoms remaining
  std::vector<IntegerModel> levels_;  // first levels (channel class x rank class x count class), then the others
                                      // (channel class x rank class x previous level class)
  // Tabulated prices: per level model, magnitudes below kTabled; per count
  // context, counts below kTabled.
  std::vector<double> levelPrices_, countPrices_;
};

/// Codes a whole BlockCode into a payload.
/// @param models  in/out, fresh models for the shape; left as coding left them
std::vector<std::uint8_t> encodePayload(const CodeShape& shape, const BlockCode& code,
                                        PayloadModels& models);

/// Brings fresh models to the state coding `code` would leave them in,
/// without coding it: the prices of the next quantizations.
void trainModels(const CodeShape& shape, const BlockCode& code, PayloadModels& models);

/// Decodes a payload. Throws CodecError: kPayload for a symbol out of its
/// range, kTruncated when the payload ends before its last block, kLimits when
/// the atoms exceed maxAtoms.
BlockCode decodePayload(const CodeShape& shape, const std::uint8_t* payload, std::size_t size,
                        std::uint64_t maxAtoms);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_BLOCK_CODE_H
