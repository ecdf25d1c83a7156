#include "random_atoms.h"

#include <cmath>
#include <cstddef>

#include "unit_columns.h"

namespace tilevista {

// s = m 2^e with m in [sqrt(1/2), sqrt(2)), log m = 2 atanh(z) with
// z = (m - 1)/(m + 1), |z| < 0.172, whose series has converged to double
// precision after the 13 terms summed.
double naturalLog(double s) {
  int exponent = 0;
  double m = std::frexp(s, &exponent);  // exact: m in [1/2, 1)
  if (m < 0.70710678118654752) {
    m *= 2.0;
    --exponent;
  }
  const double z = (m - 1.0) / (m + 1.0);
  const double z2 = z * z;
  double series = 0.0;
  for (int j = 12; j >= 0; --j) series = series * z2 + 1.0 / (2 * j + 1);
  const double ln2 = 0.6931471805599453094;
  return 2.0 * z * series + exponent * ln2;
}

std::uint64_t GaussianStream::nextWord() {
  state_ += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double GaussianStream::uniform() {
  return static_cast<double>(nextWord() >> 11) * (1.0 / 9007199254740992.0);
}

double GaussianStream::next() {
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  double u = 0.0, v = 0.0, s = 0.0;
  do {
    u = 2.0 * uniform() - 1.0;
    v = 2.0 * uniform() - 1.0;
    s = u * u + v * v;
  } while (s >= 1.0 || s == 0.0);
  const double factor = std::sqrt(-2.0 * naturalLog(s) / s);
  spare_ = v * factor;
  haveSpare_ = true;
  return u * factor;
}

void randomAtoms(std::int32_t n, std::int32_t K, std::uint64_t seed, double* out) {
  GaussianStream stream(seed);
  const std::size_t count = std::size_t(n) * std::size_t(K);
  for (std::size_t i = 0; i < count; ++i) out[i] = stream.next();
  scaleToUnitNorm(out, n, K);
}

}  // namespace tilevista
