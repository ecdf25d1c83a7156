// The binarisations of symbol_models.h. Encoding, decoding and pricing walk
// the same bits in the same order; each is written out once per direction so
// that the decoder never depends on the encoder's state.
#include "symbol_models.h"

namespace tilevista {

// ---- IntegerModel -------------------------------------------------------------

std::uint32_t IntegerModel::decode(RangeDecoder& coder, std::uint32_t bound) {
  const int largest = gammaExponent(bound < kLargest ? bound : kLargest);
  int e = 0;
  while (e < largest && coder.decode(length_[e]) == 1) ++e;
  std::uint32_t w = 1;
  int node = 1;
  for (int i = e - 1; i >= 0; --i) {
    int bit;
    if (node < (1 << kTreeBits)) {
      bit = coder.decode(mantissa_[e][node]);
      node = 2 * node + bit;
    } else {
      bit = int(coder.decodeRaw(1));
    }
    w = (w << 1) | std::uint32_t(bit);
  }
  return w - 1u;
}

double IntegerModel::cost(std::uint32_t v, std::uint32_t bound) const {
  const int e = gammaExponent(v);
  const int largest = gammaExponent(bound < kLargest ? bound : kLargest);
  double bits = 0.0;
  for (int i = 0; i < e; ++i) bits += bitCost(length_[i], 1);
  if (e < largest) bits += bitCost(length_[e], 0);
  const std::uint32_t w = v + 1u;
  int node = 1;
  for (int i = e - 1; i >= 0; --i) {
    const int bit = int((w >> i) & 1u);
    if (node < (1 << kTreeBits)) {
      bits += bitCost(mantissa_[e][node], bit);
      node = 2 * node + bit;
    } else {
      bits += 1.0;
    }
  }
  return bits;
}

}  // namespace tilevista
