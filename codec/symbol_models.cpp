// The binarisations of symbol_models.h. Encoding, decoding and pricing walk
// the same bits in the same order; each is written out once per direction so
// that the decoder never depends on the encoder's state.
#include "symbol_models.h"

namespace tilevista {

int gammaExponent(std::uint32_t v) {
  std::uint32_t w = v + 1u;
  int e = 0;
  while (w > 1u) {
    w >>= 1;
    ++e;
  }
  return e;
}

// ---- IntegerModel -------------------------------------------------------------

void IntegerModel::encode(RangeEncoder& coder, std::uint32_t v, std::uint32_t bound) {
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

// ---- IndexModel ---------------------------------------------------------------

IndexModel::IndexModel(std::uint32_t size) {
  while ((std::uint32_t(1) << bits_) < size) ++bits_;
  nodes_.resize(std::size_t(1) << bits_);
}

void IndexModel::encode(RangeEncoder& coder, std::uint32_t v) {
  std::uint32_t node = 1;
  for (int i = bits_ - 1; i >= 0; --i) {
    const int bit = int((v >> i) & 1u);
    coder.encode(nodes_[node], bit);
    node = 2 * node + std::uint32_t(bit);
  }
}

std::uint32_t IndexModel::decode(RangeDecoder& coder) {
  std::uint32_t node = 1;
  for (int i = 0; i < bits_; ++i) node = 2 * node + std::uint32_t(coder.decode(nodes_[node]));
  return node - (std::uint32_t(1) << bits_);
}

double IndexModel::cost(std::uint32_t v) const {
  double bits = 0.0;
  std::uint32_t node = 1;
  for (int i = bits_ - 1; i >= 0; --i) {
    const int bit = int((v >> i) & 1u);
    bits += bitCost(nodes_[node], bit);
    node = 2 * node + std::uint32_t(bit);
  }
  return bits;
}

}  // namespace tilevista
