// The binary range coder: a 32-bit range over a 64-bit low end whose bit 32 is
// the carry into bytes already produced. Bytes that a carry may still change
// (the last one out and any 0xFF after it) are held back until it is known.
#include "range_coder.h"

#include <array>
#include <cmath>

namespace tilevista {

namespace {

constexpr std::uint32_t kTop = 1u << 24;  // the range is renormalised below this
// Smallest probability a model may give either value of a bit, so that both
// sub-ranges are always at least 256 wide.
constexpr std::int32_t kLeastProbability = 32;

// The adaptation rate after n bits, in 1/65536: 1/(n+2), down to 1/2^shift.
std::uint32_t adaptationRate(std::uint8_t seen) {
  const std::uint32_t rate = kProbabilityOne / (std::uint32_t(seen) + 2u);
  const std::uint32_t floor = kProbabilityOne >> kBitModelShift;
  return rate > floor ? rate : floor;
}

// -log2 of a probability in 1/65536, tabulated by its top 12 bits.
struct CostTable {
  std::array<double, 4096> bits;
  CostTable() {
    for (std::size_t i = 0; i < bits.size(); ++i)
      bits[i] = -std::log2((double(i) + 0.5) / double(bits.size()));
  }
};

}  // namespace

void BitModel::update(int bit) {
  const std::int64_t target = bit ? 0 : std::int64_t(kProbabilityOne);
  std::int64_t p = zero;
  p += (target - p) * std::int64_t(adaptationRate(seen)) / std::int64_t(kProbabilityOne);
  if (p < kLeastProbability) p = kLeastProbability;
  if (p > std::int64_t(kProbabilityOne) - kLeastProbability) {
    p = std::int64_t(kProbabilityOne) - kLeastProbability;
  }
  zero = static_cast<std::uint16_t>(p);
  if (seen < 255) ++seen;
}

double bitCost(const BitModel& model, int bit) {
  static const CostTable table;
  const std::uint32_t p = bit ? kProbabilityOne - model.zero : model.zero;
  return table.bits[p >> 4];
}

// ---- Encoder ----------------------------------------------------------------

void RangeEncoder::encode(BitModel& model, int bit) {
  const std::uint32_t bound = (range_ >> kProbabilityBits) * model.zero;
  if (bit) {
    low_ += bound;
    range_ -= bound;
  } else {
    range_ = bound;
  }
  model.update(bit);
  while (range_ < kTop) {
    range_ <<= 8;
    shiftLow();
  }
}

void RangeEncoder::encodeRaw(std::uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    range_ >>= 1;
    if ((value >> i) & 1u) low_ += range_;
    while (range_ < kTop) {
      range_ <<= 8;
      shiftLow();
    }
  }
}

void RangeEncoder::shiftLow() {
  if (static_cast<std::uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
    const std::uint8_t carry = static_cast<std::uint8_t>(low_ >> 32);
    std::uint8_t byte = cache_;
    do {
      if (!first_) out_.push_back(static_cast<std::uint8_t>(byte + carry));
      first_ = false;
      byte = 0xFF;
    } while (--pending_ != 0);
    cache_ = static_cast<std::uint8_t>(low_ >> 24);
  }
  ++pending_;
  low_ = (low_ & 0x00FFFFFFu) << 8;
}

std::vector<std::uint8_t> RangeEncoder::finish() {
  for (int i = 0; i < 5; ++i) shiftLow();
  return std::move(out_);
}

// ---- Decoder ----------------------------------------------------------------

RangeDecoder::RangeDecoder(const std::uint8_t* data, std::size_t size)
    : data_(data), size_(size) {
  for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | nextByte();
}

std::uint8_t RangeDecoder::nextByte() {
  if (position_ < size_) return data_[position_++];
  ++overrun_;
  return 0;
}

int RangeDecoder::decode(BitModel& model) {
  const std::uint32_t bound = (range_ >> kProbabilityBits) * model.zero;
  int bit;
  if (code_ < bound) {
    range_ = bound;
    bit = 0;
  } else {
    code_ -= bound;
    range_ -= bound;
    bit = 1;
  }
  model.update(bit);
  while (range_ < kTop) {
    range_ <<= 8;
    code_ = (code_ << 8) | nextByte();
  }
  return bit;
}

std::uint32_t RangeDecoder::decodeRaw(int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    range_ >>= 1;
    std::uint32_t bit = 0;
    if (code_ >= range_) {
      code_ -= range_;
      bit = 1;
    }
    value = (value << 1) | bit;
    while (range_ < kTop) {
      range_ <<= 8;
      code_ = (code_ << 8) | nextByte();
    }
  }
  return value;
}

}  // namespace tilevista
