#include "energy_total.h"

#include <cmath>
#include <cstring>

namespace {

// Bits: 2046 exponent positions, 53 significand bits and 31 bits of headroom for
// up to 2^31 terms.
const std::size_t kLimbs = 34;
// Above this the index-order sum might overflow; the bound does not cover that.
const double kLargest = 0x1p1000;

}  // namespace

EnergyTotal::EnergyTotal(const double* energies, std::int32_t Q)
    : energies_(energies), count_(Q), limbs_(kLimbs, 0) {
  for (std::int32_t q = 0; q < Q; ++q) add(energies[q], +1);
}

void EnergyTotal::replace(std::int32_t q, double value) {
  add(energies_[q], -1);
  add(value, +1);
}

// Adds or subtracts value * 2^1074 as an integer. Subtraction only ever removes a
// value added before, so the accumulator never goes negative.
void EnergyTotal::add(double value, int sign) {
  if (!std::isfinite(value)) {
    nonFinite_ += sign;
    if (std::isnan(value)) nan_ += sign;
    return;
  }
  if (value == 0.0) return;
  int exponent = 0;
  const double fraction = std::frexp(value, &exponent);  // value = fraction * 2^exponent
  // value = mantissa * 2^(exponent - 53), mantissa < 2^53; bit offset from 2^-1074.
  std::uint64_t mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  int offset = exponent - 53 + 1074;
  if (offset < 0) {  // subnormal: the low bits of the mantissa are zero
    mantissa >>= -offset;
    offset = 0;
  }
  const std::size_t limb = static_cast<std::size_t>(offset) / 64;
  const unsigned shift = static_cast<unsigned>(offset) % 64;
  const std::uint64_t low = mantissa << shift;
  const std::uint64_t high = shift == 0 ? 0 : mantissa >> (64 - shift);
  if (sign > 0) {
    std::uint64_t carry = 0;
    std::size_t i = limb;
    for (const std::uint64_t part : {low, high}) {
      const std::uint64_t sum = limbs_[i] + part;
      const std::uint64_t c1 = sum < part;
      limbs_[i] = sum + carry;
      carry = c1 + (limbs_[i] < sum);
      ++i;
    }
    for (; carry != 0 && i < kLimbs; ++i) carry = ++limbs_[i] == 0;
  } else {
    std::uint64_t borrow = 0;
    std::size_t i = limb;
    for (const std::uint64_t part : {low, high}) {
      const std::uint64_t before = limbs_[i];
      const std::uint64_t difference = before - part;
      const std::uint64_t b1 = before < part;
      limbs_[i] = difference - borrow;
      borrow = b1 + (difference < borrow);
      ++i;
    }
    for (; borrow != 0 && i < kLimbs; ++i) borrow = limbs_[i]-- == 0;
  }
}

double EnergyTotal::approximate() const {
  if (nonFinite_ > 0) return HUGE_VAL;
  std::size_t top = kLimbs;
  while (top > 0 && limbs_[top - 1] == 0) --top;
  if (top == 0) return 0.0;
  const std::size_t i = top - 1;
  double value = std::ldexp(static_cast<double>(limbs_[i]), static_cast<int>(64 * i) - 1074);
  if (i > 0)
    value += std::ldexp(static_cast<double>(limbs_[i - 1]), static_cast<int>(64 * (i - 1)) - 1074);
  return value;
}

double EnergyTotal::rounded() const {
  if (nan_ > 0) return std::nan("");
  if (nonFinite_ > 0) return HUGE_VAL;
  std::size_t top = kLimbs;
  while (top > 0 && limbs_[top - 1] == 0) --top;
  if (top == 0) return 0.0;
  // The highest set bit, counted from bit 0 of limb 0 (weight 2^-1074).
  const int high = 64 * static_cast<int>(top - 1) + 63 - __builtin_clzll(limbs_[top - 1]);
  if (high < 53) {  // fewer than 54 significant bits: exact
    return std::ldexp(static_cast<double>(limbs_[0]), -1074);
  }
  // The 53 bits from `high` down, then the rounding bit below them and
  // whether any bit below that is set.
  const int low = high - 52;
  const auto bitsFrom = [&](int b) {
    const std::size_t limb = static_cast<std::size_t>(b) / 64;
    const unsigned shift = static_cast<unsigned>(b) % 64;
    std::uint64_t bits = limbs_[limb] >> shift;
    if (shift != 0 && limb + 1 < kLimbs) bits |= limbs_[limb + 1] << (64 - shift);
    return bits;
  };
  std::uint64_t mantissa = bitsFrom(low) & ((std::uint64_t{1} << 53) - 1);
  const int roundBit = low - 1;
  const std::size_t roundLimb = static_cast<std::size_t>(roundBit) / 64;
  const unsigned roundShift = static_cast<unsigned>(roundBit) % 64;
  bool sticky = (limbs_[roundLimb] & ((std::uint64_t{1} << roundShift) - 1)) != 0;
  for (std::size_t l = 0; l < roundLimb && !sticky; ++l) sticky = limbs_[l] != 0;
  if ((bitsFrom(roundBit) & 1u) != 0 && (sticky || (mantissa & 1u) != 0)) ++mantissa;
  return std::ldexp(static_cast<double>(mantissa), low - 1074);
}
double EnergyTotal::indexOrderSum() const {
  double total = 0.0;
  for (std::int32_t q = 0; q < count_; ++q) total += energies_[q];
  return total;
}

// gamma_{Q-1} plus the rounding of approximate() and of the products with it.
double EnergyTotal::margin() const { return (static_cast<double>(count_) + 8.0) * 0x1p-52; }

bool EnergyTotal::mayBeBelow(double tol) const {
  // A NaN or +Inf energy makes every sum NaN or +Inf: never below. A NaN tol or
  // a tol of 0 is never reached either.
  if (nonFinite_ > 0 || std::isnan(tol) || tol <= 0.0) return false;
  const double exact = approximate();
  return !(exact <= kLargest && exact * (1.0 - margin()) >= tol);
}

bool EnergyTotal::below(double tol) const {
  if (!mayBeBelow(tol)) return false;
  const double exact = approximate();
  if (exact <= kLargest && exact * (1.0 + margin()) < tol) return true;
  return indexOrderSum() < tol;
}
