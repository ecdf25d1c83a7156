// Adaptive models of multi-valued symbols, each a binarisation whose bits are
// coded with BitModels: counts, gaps and magnitudes up to a bound
// (IntegerModel). A model also prices a value as it stands, for the encoder's
// rate estimates, without learning from it.
#ifndef TILEVISTA_CODEC_SYMBOL_MODELS_H
#define TILEVISTA_CODEC_SYMBOL_MODELS_H

#include <cstdint>

#include "range_coder.h"

namespace tilevista {

/// Bit length of v + 1 minus one: the e of IntegerModel (0 where v + 1
/// wraps to 0).
inline int gammaExponent(std::uint32_t v) { return 31 - __builtin_clz((v + 1u) | 1u); }

/// Non-negative integers up to a bound, coded as an adaptive Elias-gamma
/// code: the bit length e of v+1 in unary (one model per step; the last
/// stop bit is left out when e is the largest the bound allows), then the e
/// bits of v+1 below its leading one, the top three through a small tree of
/// models per e and the rest raw.
class IntegerModel {
 public:
  /// Largest value any model can take (2^30 - 1).
  static constexpr std::uint32_t kLargest = (1u << 30) - 1;

  /// Codes v (v <= bound <= kLargest) and learns from it.
  /// @param coder  a RangeEncoder, or a ModelTrainer to learn alone
  template <class Coder>
  void encode(Coder& coder, std::uint32_t v, std::uint32_t bound) {
    const int e = gammaExponent(v);
    const int largest = gammaExponent(bound < kLargest ? bound : kLargest);
    for (int i = 0; i < e; ++i) coder.encode(length_[i], 1);
    if (e < largest) coder.encode(length_[e], 0);
    const std::uint32_t w = v + 1u;
    int node = 1;
    for (int i = e - 1; i >= 0; --i) {
      const int bit = int((w >> i) & 1u);
      if (node < (1 << kTreeBits)) {
        coder.encode(mantissa_[e][node], bit);
        node = 2 * node + bit;
      } else {
        coder.encodeRaw(std::uint32_t(bit), 1);
      }
    }
  }
  /// Decodes a value coded with the same bound. A hostile payload may give a
  /// value above the bound: the caller checks.
  std::uint32_t decode(RangeDecoder& coder, std::uint32_t bound);
  /// Bits coding v would take now.
  double cost(std::uint32_t v, std::uint32_t bound) const;

 private:
  static constexpr int kExponents = 31;  // e = 0..30
  static constexpr int kTreeBits = 3;    // mantissa bits coded with models
  BitModel length_[kExponents];
  BitModel mantissa_[kExponents][1 << kTreeBits];
};

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_SYMBOL_MODELS_H
