// The payload's symbols and the contexts that choose their models
// (block_code.h). Encoding, decoding and pricing of a block go through the
// same context functions, so that the three cannot choose differently.
#include "block_code.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "tilevista/codec.h"

namespace tilevista {

namespace {

// Classes of an atom's position in its block's order: the first atoms each
// have their own, later ones share.
constexpr std::size_t kPositionClasses = 10;
std::size_t positionClass(std::int32_t k) {
  static const std::uint8_t table[23] = {0, 1, 2, 3, 4, 5, 5, 6, 6, 6, 7, 7,
                                         7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8};
  return k < 23 ? table[k] : 9;
}

// Classes of the previous level's magnitude (the first level, a difference
// from a prediction, is a class of its own for the second atom).
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
constexpr std::uint32_t kTabled = PayloadModels::kTabled;
constexpr std::size_t kMostYGroups = 64;
constexpr std::size_t kMostXNodes = std::size_t(1) << 22;  // bounds the X models' storage

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
  return shape;
}

PayloadModels::PayloadModels(const CodeShape& shape) : shape_(shape) {
  std::size_t xNodes = 1;
  while (xNodes < std::size_t(shape.Kx)) xNodes *= 2;
  yGroups_ = std::size_t(shape.Ky) < kMostYGroups ? std::size_t(shape.Ky) : kMostYGroups;
  while (yGroups_ > 1 && yGroups_ * xNodes * kChannelClasses * kPositionClasses > kMostXNodes) {
    yGroups_ /= 2;
  }
  counts_.resize(kChannelClasses * kCountContexts);
  y_.assign(kChannelClasses * kPositionClasses, IndexModel(std::uint32_t(shape.Ky)));
  x_.assign(kChannelClasses * kPositionClasses * yGroups_, IndexModel(std::uint32_t(shape.Kx)));
  levels_.resize(kChannelClasses * kPositionClasses * kPreviousClasses);
}

std::size_t PayloadModels::channelClass(std::int64_t q) const {
  return q < std::int64_t(shape_.gridRows) * shape_.gridCols ? 0 : 1;
}

std::size_t PayloadModels::yGroup(std::uint32_t y) const {
  return std::size_t(std::uint64_t(y) * yGroups_ / std::uint64_t(shape_.Ky));
}

std::size_t PayloadModels::countContext(const BlockCode& code, std::int64_t q) const {
  const std::int64_t plane = std::int64_t(shape_.gridRows) * shape_.gridCols;
  const std::int64_t inPlane = q % plane;
  const bool up = inPlane % shape_.gridRows != 0;
  const bool left = inPlane >= shape_.gridRows;
  std::size_t context;
  if (!up && !left) {
    context = kCountContexts - 1;
  } else {
    const std::uint32_t a = up ? std::uint32_t(code.count(q - 1)) : 0u;
    const std::uint32_t b = left ? std::uint32_t(code.count(q - shape_.gridRows)) : 0u;
    // One neighbour stands for both.
    context = countClass(up && left ? a + b : 2u * (a + b));
  }
  return channelClass(q) * kCountContexts + context;
}

std::size_t PayloadModels::levelModelIndex(std::int64_t q, std::int32_t k,
                                           std::int32_t previous) const {
  return (channelClass(q) * kPositionClasses + positionClass(k)) * kPreviousClasses +
         previousClass(k, previous);
}

IntegerModel& PayloadModels::levelModel(std::int64_t q, std::int32_t k, std::int32_t previous) {
  return levels_[levelModelIndex(q, k, previous)];
}

template <class Coder>
void PayloadModels::encodeBlock(Coder& coder, const BlockCode& code, std::int64_t q) {
  const std::int32_t m = code.count(q);
  counts_[countContext(code, q)].encode(coder, std::uint32_t(m), std::uint32_t(shape_.capacity));
  const std::size_t base = std::size_t(code.first[std::size_t(q)]);
  const std::size_t cc = channelClass(q);
  for (std::int32_t k = 0; k < m; ++k) {
    const std::size_t a = base + std::size_t(k);
    const std::uint32_t y = code.yIndex[a], x = code.xIndex[a];
    const std::size_t position = cc * kPositionClasses + positionClass(k);
    y_[position].encode(coder, y);
    x_[position * yGroups_ + yGroup(y)].encode(coder, x);
    const std::int32_t level = code.level[a];
    const std::uint32_t magnitude = magnitudeOf(level);
    IntegerModel& model = levelModel(q, k, k > 0 ? code.level[a - 1] : 0);
    if (k == 0) {
      model.encode(coder, magnitude, shape_.levelBound);
    } else {
      model.encode(coder, magnitude - 1u, shape_.levelBound - 1u);
    }
    if (magnitude != 0) coder.encodeRaw(level < 0 ? 1u : 0u, 1);
  }
}

template void PayloadModels::encodeBlock(RangeEncoder&, const BlockCode&, std::int64_t);
template void PayloadModels::encodeBlock(ModelTrainer&, const BlockCode&, std::int64_t);

void PayloadModels::decodeBlock(RangeDecoder& coder, BlockCode& code, std::int64_t q) {
  const std::uint32_t m =
      counts_[countContext(code, q)].decode(coder, std::uint32_t(shape_.capacity));
  if (m > std::uint32_t(shape_.capacity)) {
    badSymbol(std::to_string(m) + " atoms, more than the " + std::to_string(shape_.capacity) +
                  " a block can hold",
              q);
  }
  const std::size_t cc = channelClass(q);
  for (std::int32_t k = 0; k < std::int32_t(m); ++k) {
    const std::size_t position = cc * kPositionClasses + positionClass(k);
    const std::uint32_t y = y_[position].decode(coder);
    if (y >= std::uint32_t(shape_.Ky)) badSymbol("an atom's Y index past the dictionary", q);
    const std::uint32_t x = x_[position * yGroups_ + yGroup(y)].decode(coder);
    if (x >= std::uint32_t(shape_.Kx)) badSymbol("an atom's X index past the dictionary", q);
    IntegerModel& model = levelModel(q, k, k > 0 ? code.level.back() : 0);
    std::uint32_t magnitude = k == 0 ? model.decode(coder, shape_.levelBound)
                                     : model.decode(coder, shape_.levelBound - 1u) + 1u;
    if (magnitude > shape_.levelBound) badSymbol("a level past the largest the step allows", q);
    const bool negative = magnitude != 0 && coder.decodeRaw(1) != 0;
    code.yIndex.push_back(static_cast<std::uint16_t>(y));
    code.xIndex.push_back(static_cast<std::uint16_t>(x));
    code.level.push_back(negative ? -std::int32_t(magnitude) : std::int32_t(magnitude));
  }
  code.first.push_back(code.first.back() + m);
}

void PayloadModels::tabulatePrices() {
  levelPrices_.resize(levels_.size() * kTabled);
  for (std::size_t model = 0; model < levels_.size(); ++model) {
    // A model of position class 0 codes first levels, the others later ones.
    const std::int32_t k = (model / kPreviousClasses) % kPositionClasses == 0 ? 0 : 1;
    for (std::uint32_t v = 0; v < kTabled; ++v) {
      levelPrices_[model * kTabled + v] = modelLevelCost(model, k, v);
    }
  }
  yPrices_.resize(y_.size() * std::size_t(shape_.Ky));
  for (std::size_t model = 0; model < y_.size(); ++model) {
    y_[model].costs(yPrices_.data() + model * std::size_t(shape_.Ky));
  }
  xPrices_.resize(x_.size() * std::size_t(shape_.Kx));
  for (std::size_t model = 0; model < x_.size(); ++model) {
    x_[model].costs(xPrices_.data() + model * std::size_t(shape_.Kx));
  }
  countPrices_.resize(counts_.size() * kTabled);
  for (std::size_t context = 0; context < counts_.size(); ++context) {
    for (std::uint32_t m = 0; m < kTabled; ++m) {
      countPrices_[context * kTabled + m] =
          counts_[context].cost(std::min(m, std::uint32_t(shape_.capacity)), std::uint32_t(shape_.capacity));
    }
  }
}

const double* PayloadModels::levelPrices(std::int64_t q, std::int32_t k,
                                         std::int32_t previous) const {
  return levelPrices_.data() + levelModelIndex(q, k, previous) * kTabled;
}

const double* PayloadModels::countPrices(const BlockCode& code, std::int64_t q) const {
  return countPrices_.data() + countContext(code, q) * kTabled;
}

double PayloadModels::countCost(const BlockCode& code, std::int64_t q, std::int32_t m) const {
  const std::size_t context = countContext(code, q);
  if (!countPrices_.empty() && std::uint32_t(m) < kTabled) return countPrices_[context * kTabled + std::size_t(m)];
  return counts_[context].cost(std::uint32_t(m), std::uint32_t(shape_.capacity));
}

double PayloadModels::modelLevelCost(std::size_t model, std::int32_t k, std::uint32_t magnitude) const {
  if (k > 0 && magnitude == 0) return HUGE_VAL;  // not codable: only a first level may be 0
  if (k == 0) return levels_[model].cost(magnitude, shape_.levelBound) + (magnitude != 0 ? 1.0 : 0.0);
  return levels_[model].cost(magnitude - 1u, shape_.levelBound - 1u) + 1.0;
}

double PayloadModels::levelCost(std::int64_t q, std::int32_t k, std::int32_t level,
                                std::int32_t previous) const {
  const std::uint32_t magnitude = magnitudeOf(level);
  const std::size_t model = levelModelIndex(q, k, previous);
  if (!levelPrices_.empty() && magnitude < kTabled) return levelPrices_[model * kTabled + magnitude];
  return modelLevelCost(model, k, magnitude);
}

double PayloadModels::indexCost(std::int64_t q, std::int32_t k, std::uint32_t y,
                                std::uint32_t x) const {
  const std::size_t position = channelClass(q) * kPositionClasses + positionClass(k);
  const std::size_t xModel = position * yGroups_ + yGroup(y);
  if (!yPrices_.empty()) {
    return yPrices_[position * std::size_t(shape_.Ky) + y] + xPrices_[xModel * std::size_t(shape_.Kx) + x];
  }
  return y_[position].cost(y) + x_[xModel].cost(x);
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
