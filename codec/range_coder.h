// A binary adaptive range coder: the arithmetic coder under every symbol of
// the codec's payload. Bits are coded either with an adaptive probability
// (BitModel) or as raw, equiprobable bits. Everything is integer arithmetic,
// so that the bytes do not depend on the machine, the compiler or the BLAS.
//
// The coder keeps a 32-bit range and a 64-bit low end with a carry cache, and
// writes a byte whenever the range falls below 2^24. Probabilities have 16
// bits. A decoder reads exactly the bytes its encoder wrote, no more; past
// the end of its input it reads zeros and counts them, so that its caller can
// tell a payload that ended too soon, or one with bytes left over.
#ifndef TILEVISTA_CODEC_RANGE_CODER_H
#define TILEVISTA_CODEC_RANGE_CODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tilevista {

/// One probability scale for every model: probabilities are in 1/65536.
constexpr std::uint32_t kProbabilityBits = 16;
constexpr std::uint32_t kProbabilityOne = 1u << kProbabilityBits;
/// The range is renormalised (a byte shifted out) when it falls below this.
constexpr std::uint32_t kTop = 1u << 24;

/// Rate limit of BitModel: it adapts at 1/2^kBitModelShift at the slowest.
constexpr int kBitModelShift = 6;

/// Smallest probability a model may give either value of a bit, so that both
/// sub-ranges are always at least 256 wide.
constexpr std::int32_t kLeastProbability = 32;

namespace range_coder_detail {
// The adaptation rate after n bits, in 1/65536: 1/(n+2), down to
// 1/2^kBitModelShift; tabulated, since every coded bit needs one.
struct RateTable {
  std::uint32_t rate[256];
};
constexpr RateTable makeRates() {
  RateTable t{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    const std::uint32_t r = kProbabilityOne / (n + 2u);
    const std::uint32_t floor = kProbabilityOne >> kBitModelShift;
    t.rate[n] = r > floor ? r : floor;
  }
  return t;
}
inline constexpr RateTable kRates = makeRates();
}  // namespace range_coder_detail

/// An adaptive estimate of the probability that a bit is 0. The first updates
/// follow the Krichevsky-Trofimov estimate (rate 1/(n+2) after n bits), then
/// the rate stays at 1/2^kBitModelShift, so that a model learns fast from few
/// bits and then follows slow changes.
struct BitModel {
  std::uint16_t zero = kProbabilityOne / 2;  ///< P(bit = 0) in 1/65536, never 0
  std::uint8_t seen = 0;                      ///< bits seen, saturating
  /// Updates the estimate with one coded bit.
  void update(int bit) {
    const std::int64_t target = bit ? 0 : std::int64_t(kProbabilityOne);
    std::int64_t p = zero;
    p += (target - p) * std::int64_t(range_coder_detail::kRates.rate[seen]) /
         std::int64_t(kProbabilityOne);
    if (p < kLeastProbability) p = kLeastProbability;
    if (p > std::int64_t(kProbabilityOne) - kLeastProbability) {
      p = std::int64_t(kProbabilityOne) - kLeastProbability;
    }
    zero = static_cast<std::uint16_t>(p);
    if (seen < 255) ++seen;
  }
};

/// Cost of coding `bit` with `model` as it stands, in bits (for rate estimates).
double bitCost(const BitModel& model, int bit);

/// Writes coded bits into a growing byte vector.
class RangeEncoder {
 public:
  /// Codes one bit with an adaptive model and updates the model.
  void encode(BitModel& model, int bit) {
    const std::uint32_t bound = (range_ >> kProbabilityBits) * model.zero;
    // Selects, not branches: the bits are what a predictor cannot learn.
    const std::uint32_t one = 0u - std::uint32_t(bit != 0);  // all ones for a 1
    low_ += bound & one;
    range_ = ((range_ - bound) & one) | (bound & ~one);
    model.update(bit);
    while (range_ < kTop) {
      range_ <<= 8;
      shiftLow();
    }
  }
  /// Codes the low `count` bits of `value` (count <= 24), most significant
  /// first, each with probability 1/2.
  void encodeRaw(std::uint32_t value, int count);
  /// Flushes the coder; the bytes are complete afterwards and no further bit
  /// may be coded.
  /// @return the coded bytes
  std::vector<std::uint8_t> finish();

 private:
  void shiftLow();
  std::uint64_t low_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
  std::uint8_t cache_ = 0;
  std::uint64_t pending_ = 1;  // bytes held back: the cache and 0xFF bytes a carry may change
  bool first_ = true;          // the first byte out is always 0 and is not written
  std::vector<std::uint8_t> out_;
};

/// Takes the bits an encoder would code and only updates the models: the
/// models end as an encoder leaves them, without the coding's arithmetic.
class ModelTrainer {
 public:
  void encode(BitModel& model, int bit) { model.update(bit); }
  void encodeRaw(std::uint32_t, int) {}
};

/// Reads the bits a RangeEncoder wrote. Any input decodes to some bits without
/// fault; what they mean is for the caller to check.
class RangeDecoder {
 public:
  /// @param data  in, the coded bytes (not copied; must outlive the decoder)
  /// @param size  their number
  RangeDecoder(const std::uint8_t* data, std::size_t size);
  /// Decodes one bit with an adaptive model and updates the model.
  int decode(BitModel& model) {
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
  /// Decodes `count` raw bits (count <= 24), most significant first.
  std::uint32_t decodeRaw(int count);
  /// Bytes read beyond the end of the input (as zeros) so far.
  std::size_t overrun() const { return overrun_; }
  /// True when every byte of the input has been read.
  bool exhausted() const { return position_ == size_; }

 private:
  std::uint8_t nextByte() {
    if (position_ < size_) return data_[position_++];
    ++overrun_;
    return 0;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::size_t overrun_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
  std::uint32_t code_ = 0;
};

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_RANGE_CODER_H
