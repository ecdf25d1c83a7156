// The binary range coder: a 32-bit range over a 64-bit low end whose bit 32 is
// the carry into bytes already produced. Bytes that a carry may still change
// (the last one out and any 0xFF after it) are held back until it is known.
#include "range_coder.h"

#include <array>
#include <cmath>

namespace tilevista {

namespace {

// -log2 of a probability in 1/65536, tabulated by its top 12 bits.
struct CostTable {
  std::array<double, 4096> bits;
  CostTable() {
    for (std::size_t i = 0; i < bits.size(); ++i)
      bits[i] = -std::log2((double(i) + 0.5) / double(bits.size()));
  }
};

const CostTable kCosts;

}  // namespace

double bitCost(const BitModel& model, int bit) {
  const std::uint32_t p = bit ? kProbabilityOne - model.zero : model.zero;
  return kCosts.bits[p >> 4];
}

// ---- Encoder ----------------------------------------------------------------

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
