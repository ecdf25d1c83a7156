// The payload's symbols and the contexts that choose their models
// (block_code.h). Encoding, decoding and pricing of a block go through the
// same context functions, so that the three cannot choose differently.
#include "block_code.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "tilevista/codec.h"

namespace tilevista {

namespace {

// Classes of a scan rank: the first eight ranks each have their own, then
// one class per doubling.
constexpr std::size_t kRankClasses = 15;
std::size_t rankClass(std::uint32_t rank) {
  if (rank < 8) return rank;
  const std::size_t c = 8 + std::size_t(32 - __builtin_clz(rank >> 3)) - 1;  // 8 + log2(rank / 8)
  return c < kRankClasses ? c : kRankClasses - 1;
}

// Classes of the atoms a block has still to code: 1, 2, 3, 4 or more.
constexpr std::size_t kRemainingClasses = 4;
std::size_t remainingClass(std::int32_t remaining) {
  return std::size_t(std::min(remaining, std::int32_t(kRemainingClasses))) - 1;
}

// Classes of a block's count of atoms, for its first level: 1, 2, 3 or 4, 5
// or more (the fewer the atoms, the flatter the block, the better predicted).
constexpr std::size_t kCountClasses = 4;
std::size_t firstCountClass(std::int32_t count) {
  return count <= 1 ? 0 : count == 2 ? 1 : count <= 4 ? 2 : 3;
}

// Classes of the previous level's magnitude (after a block's first level, a
// difference from a prediction, the class is 0).
constexpr std::size_t kPreviousClasses = 6;
std::size_t previousClass(std::int32_t k, std::int32_t previous) {
  if (k <= 1) return 0;
  const std::uint32_t magnitude = previous < 0 ? 0u - std::uint32_t(previous) : std::uint32_t(previous);
  if (magnitude <= 2) return magnitude;
  if (magnitude <= 4) return 3;
  return magnitude <= 8 ? 4 : 5;
}

// Classes of the atoms of a block's upper and left neighbours together; the
// last class is for the first block of a channel, which has neither.
constexpr std::size_t kCountContexts = 12;
std::size_t countClass(std::uint32_t sum) {
  static const std::uint8_t table[36] = {0, 1, 2, 3, 4, 4, 5, 5, 6, 6, 6, 6,
                                         7, 7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8,
                                         9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  return sum < 36 ? table[sum] : 10;
}

constexpr std::size_t kChannelClasses = 2;  // luma (or grey), chroma
constexpr std::size_t kFirstLevelModels = kChannelClasses * kRankClasses * kCountClasses;

std::uint32_t magnitudeOf(std::int32_t level) {
  return level < 0 ? 0u - std::uint32_t(level) : std::uint32_t(level);
}

[[noreturn]] void badSymbol(const std::string& what, std::int64_t q) {
  throw CodecError(codec_error::kPayload,
                   "The payload is damaged: block " + std::to_string(q + 1) + " has " + what + ".");
}

}  // namespace

CodeShape codeShapeFor(std::int32_t gridRows, std::int32_t gridCols, std::int32_t channels,
                       std::int32_t Ky, std::int32_t Kx, std::int32_t N) {
  CodeShape shape;
  shape.gridRows = gridRows;
  shape.gridCols = gridCols;
  shape.channels = channels;
  shape.Ky = Ky;
  shape.Kx = Kx;
  shape.capacity = std::int32_t(std::min<std::int64_t>(std::int64_t(Ky) * Kx, N));
  shape.levelBound = std::uint32_t(std::ceil(4.0 * std::sqrt(double(N)))) * (1u << 14) + 1u;
  shape.pairAt.resize(shape.pairs());
  std::iota(shape.pairAt.begin(), shape.pairAt.end(), 0u);
  const auto key = [Ky](std::uint32_t pair) {
    const std::uint32_t y = pair % std::uint32_t(Ky), x = pair / std::uint32_t(Ky);
    return std::uint64_t(y + x) << 32 | y;
  };
  std::sort(shape.pairAt.begin(), shape.pairAt.end(),
            [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
  shape.rankOf.resize(shape.pairs());
  for (std::uint32_t r = 0; r < shape.pairs(); ++r) shape.rankOf[shape.pairAt[r]] = r;
  return shape;
}

PayloadModels::PayloadModels(const CodeShape& shape)
    : shape_(&shape), plane_(std::int64_t(shape.gridRows) * shape.gridCols) {
  counts_.resize(kChannelClasses * kCountContexts);
  gaps_.resize(kChannelClasses * kRankClasses * kRemainingClasses);
  levels_.resize(kFirstLevelModels + kChannelClasses * kRankClasses * kPreviousClasses);
}

std::size_t PayloadModels::channelClass(std::int64_t q) const { return q < plane_ ? 0 : 1; }

std::size_t PayloadModels::countContext(const BlockCode& code, std::int64_t q) const {
  const std::int64_t plane = std::int64_t(shape_->gridRows) * shape_->gridCols;
  const std::int64_t inPlane = q % plane;
  const bool up = inPlane % shape_->gridRows != 0;
  const bool left = inPlane >= shape_->gridRows;
  std::size_t context;
  if (!up && !left) {
    context = kCountContexts - 1;
  } else {
    const std::uint32_t a = up ? std::uint32_t(code.count(q - 1)) : 0u;
    const std::uint32_t b = left ? std::uint32_t(code.count(q - shape_->gridRows)) : 0u;
    // One neighbour stands for both.
    context = countClass(up && left ? a + b : 2u * (a + b));
  }
  return channelClass(q) * kCountContexts + context;
}

std::size_t PayloadModels::gapContext(std::int64_t q, std::uint32_t from,
                                      std::int32_t remaining) const {
  return (channelClass(q) * kRankClasses + rankClass(from)) * kRemainingClasses +
         remainingClass(remaining);
}

std::size_t PayloadModels::levelModelIndex(std::int64_t q, std::int32_t count, std::int32_t k,
                                           std::uint32_t rank, std::int32_t previous) const {
  const std::size_t base = channelClass(q) * kRankClasses + rankClass(rank);
  if (k == 0) return base * kCountClasses + firstCountClass(count);
  return kFirstLevelModels + base * kPreviousClasses + previousClass(k, previous);
}

template <class Coder>
void PayloadModels::encodeBlock(Coder& coder, const BlockCode& code, std::int64_t q) {
  const std::int32_t m = code.count(q);
  counts_[countContext(code, q)].encode(coder, std::uint32_t(m), std::uint32_t(shape_->capacity));
  const std::size_t base = std::size_t(code.first[std::size_t(q)]);
  std::uint32_t from = 0;  // the scan rank after the previous atom's
  for (std::int32_t k = 0; k < m; ++k) {
    const std::size_t a = base + std::size_t(k);
    const std::uint32_t rank = shape_->rank(code.yIndex[a], code.xIndex[a]);
    const std::int32_t remaining = m - k;
    const std::uint32_t largest = shape_->pairs() - from - std::uint32_t(remaining);
    gaps_[gapContext(q, from, remaining)].encode(coder, rank - from, largest);
    from = rank + 1;
    const std::int32_t level = code.level[a];
    const std::uint32_t magnitude = magnitudeOf(level);
    IntegerModel& model = levels_[levelModelIndex(q, m, k, rank, k > 0 ? code.level[a - 1] : 0)];
    if (k == 0) {
      model.encode(coder, magnitude, shape_->levelBound);
    } else {
      model.encode(coder, magnitude - 1u, shape_->levelBound - 1u);
    }
    if (magnitude != 0) coder.encodeRaw(level < 0 ? 1u : 0u, 1);
  }
}

template void PayloadModels::encodeBlock(RangeEncoder&, const BlockCode&, std::int64_t);
template void PayloadModels::encodeBlock(ModelTrainer&, const BlockCode&, std::int64_t);

void PayloadModels::decodeBlock(RangeDecoder& coder, BlockCode& code, std::int64_t q) {
  const std::uint32_t m =
      counts_[countContext(code, q)].decode(coder, std::uint32_t(shape_->capacity));
  if (m > std::uint32_t(shape_->capacity)) {
    badSymbol(std::to_string(m) + " atoms, more than the " + std::to_string(shape_->capacity) +
                  " a block can hold",
              q);
  }
  std::uint32_t from = 0;
  for (std::int32_t k = 0; k < std::int32_t(m); ++k) {
    const std::int32_t remaining = std::int32_t(m) - k;
    // from <= pairs - remaining: the atoms left fit, as capacity <= pairs.
    const std::uint32_t largest = shape_->pairs() - from - std::uint32_t(remaining);
    const std::uint32_t gap = gaps_[gapContext(q, from, remaining)].decode(coder, largest);
    if (gap > largest) badSymbol("an atom past the end of the dictionary pairs", q);
    const std::uint32_t rank = from + gap;
    from = rank + 1;
    IntegerModel& model =
        levels_[levelModelIndex(q, std::int32_t(m), k, rank, k > 0 ? code.level.back() : 0)];
    const std::uint32_t magnitude = k == 0 ? model.decode(coder, shape_->levelBound)
                                           : model.decode(coder, shape_->levelBound - 1u) + 1u;
    if (magnitude > shape_->levelBound) badSymbol("a level past the largest the step allows", q);
    const bool negative = magnitude != 0 && coder.decodeRaw(1) != 0;
    const std::uint32_t pair = shape_->pairAt[rank];
    code.yIndex.push_back(static_cast<std::uint16_t>(pair % std::uint32_t(shape_->Ky)));
    code.xIndex.push_back(static_cast<std::uint16_t>(pair / std::uint32_t(shape_->Ky)));
    code.level.push_back(negative ? -std::int32_t(magnitude) : std::int32_t(magnitude));
  }
  code.first.push_back(code.first.back() + m);
}

void PayloadModels::tabulatePrices() {
  levelPrices_.resize(levels_.size() * kTabled);
  for (std::size_t model = 0; model < levels_.size(); ++model) {
    for (std::uint32_t v = 0; v < kTabled; ++v) levelPrices_[model * kTabled + v] = modelLevelCost(model, v);
  }
  countPrices_.resize(counts_.size() * kTabled);
  const std::uint32_t capacity = std::uint32_t(shape_->capacity);
  for (std::size_t context = 0; context < counts_.size(); ++context) {
    for (std::uint32_t m = 0; m < kTabled; ++m) {
      countPrices_[context * kTabled + m] = counts_[context].cost(std::min(m, capacity), capacity);
    }
  }
}

const double* PayloadModels::countPrices(const BlockCode& code, std::int64_t q) const {
  return countPrices_.data() + countContext(code, q) * kTabled;
}

const double* PayloadModels::levelPrices(std::int64_t q, std::int32_t count, std::int32_t k,
                                         std::uint32_t rank, std::int32_t previous) const {
  return levelPrices_.data() + levelModelIndex(q, count, k, rank, previous) * kTabled;
}

double PayloadModels::countCost(const BlockCode& code, std::int64_t q, std::int32_t m) const {
  return counts_[countContext(code, q)].cost(std::uint32_t(m), std::uint32_t(shape_->capacity));
}

double PayloadModels::modelLevelCost(std::size_t model, std::uint32_t magnitude) const {
  if (model < kFirstLevelModels) {
    return levels_[model].cost(magnitude, shape_->levelBound) + (magnitude != 0 ? 1.0 : 0.0);
  }
  if (magnitude == 0) return HUGE_VAL;  // not codable: only a block's first level may be 0
  return levels_[model].cost(magnitude - 1u, shape_->levelBound - 1u) + 1.0;
}

double PayloadModels::levelCost(std::int64_t q, std::int32_t count, std::int32_t k,
                                std::uint32_t rank, std::int32_t level, std::int32_t previous) const {
  return modelLevelCost(levelModelIndex(q, count, k, rank, previous), magnitudeOf(level));
}

std::vector<std::uint8_t> encodePayload(const CodeShape& shape, const BlockCode& code,
                                        PayloadModels& models) {
  RangeEncoder coder;
  const std::int64_t blocks = shape.blocks();
  for (std::int64_t q = 0; q < blocks; ++q) models.encodeBlock(coder, code, q);
  return coder.finish();
}

void trainModels(const CodeShape& shape, const BlockCode& code, PayloadModels& models) {
  ModelTrainer trainer;
  const std::int64_t blocks = shape.blocks();
  for (std::int64_t q = 0; q < blocks; ++q) models.encodeBlock(trainer, code, q);
}

BlockCode decodePayload(const CodeShape& shape, const std::uint8_t* payload, std::size_t size,
                        std::uint64_t maxAtoms) {
  PayloadModels models(shape);
  RangeDecoder coder(payload, size);
  BlockCode code;
  const std::int64_t blocks = shape.blocks();
  code.first.reserve(std::size_t(blocks) + 1);
  code.first.push_back(0);
  for (std::int64_t q = 0; q < blocks; ++q) {
    models.decodeBlock(coder, code, q);
    if (coder.overrun() > 0) {
      throw CodecError(codec_error::kTruncated,
                       "The payload ends before its block " + std::to_string(q + 1) + " does.");
    }
    if (code.first.back() > maxAtoms) {
      throw CodecError(codec_error::kLimits, "The file holds more than the " +
                                                 std::to_string(maxAtoms) +
                                                 " atoms the decoder's limits allow.");
    }
  }
  if (!coder.exhausted()) {
    throw CodecError(codec_error::kPayload,
                     "The payload has bytes left over after its last block.");
  }
  return code;
}

}  // namespace tilevista
