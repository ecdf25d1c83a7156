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

/// An adaptive estimate of the probability that a bit is 0. The first updates
/// follow the Krichevsky-Trofimov estimate (rate 1/(n+2) after n bits), then
/// the rate stays at 1/2^kBitModelShift, so that a model learns fast from few
/// bits and then follows slow changes.
struct BitModel {
  std::uint16_t zero = kProbabilityOne / 2;  ///< P(bit = 0) in 1/65536, never 0
  std::uint8_t seen = 0;                      ///< bits seen, saturating
  /// Updates the estimate with one coded bit.
  void update(int bit);
};

/// Rate limit of BitModel: after this many bits it adapts at 1/2^shift.
constexpr int kBitModelShift = 5;

/// Cost of coding `bit` with `model` as it stands, in bits (for rate estimates).
double bitCost(const BitModel& model, int bit);

/// Writes coded bits into a growing byte vector.
class RangeEncoder {
 public:
  /// Codes one bit with an adaptive model and updates the model.
  void encode(BitModel& model, int bit);
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

/// Reads the bits a RangeEncoder wrote. Any input decodes to some bits without
/// fault; what they mean is for the caller to check.
class RangeDecoder {
 public:
  /// @param data  in, the coded bytes (not copied; must outlive the decoder)
  /// @param size  their number
  RangeDecoder(const std::uint8_t* data, std::size_t size);
  /// Decodes one bit with an adaptive model and updates the model.
  int decode(BitModel& model);
  /// Decodes `count` raw bits (count <= 24), most significant first.
  std::uint32_t decodeRaw(int count);
  /// Bytes read beyond the end of the input (as zeros) so far.
  std::size_t overrun() const { return overrun_; }
  /// True when every byte of the input has been read.
  bool exhausted() const { return position_ == size_; }

 private:
  std::uint8_t nextByte();
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::size_t overrun_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
  std::uint32_t code_ = 0;
};

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_RANGE_CODER_H
