#include "trigonometric_atoms.h"

#include <cmath>
#include <cstddef>

#include "unit_columns.h"

namespace tilevista {

namespace {

// The double nearest to pi, the toolbox's pi.
constexpr double kPi = 3.141592653589793116;

// Column k samples wave(pi (r + 1/2) (k + shift) / K), rounded in that order.
template <typename Wave>
void sampleWaves(std::int32_t n, std::int32_t K, std::int32_t shift, Wave wave, double* out) {
  for (std::int32_t k = 0; k < K; ++k) {
    double* column = out + std::size_t(k) * std::size_t(n);
    const double frequency = static_cast<double>(k + shift);
    for (std::int32_t r = 0; r < n; ++r) {
      const double scaled = kPi * (static_cast<double>(r) + 0.5);
      column[r] = wave(scaled * frequency / static_cast<double>(K));
    }
  }
  scaleToUnitNorm(out, n, K);
}

}  // namespace

void cosineAtoms(std::int32_t n, std::int32_t K, double* out) {
  sampleWaves(n, K, 0, [](double angle) { return std::cos(angle); }, out);
}

void sineAtoms(std::int32_t n, std::int32_t K, double* out) {
  sampleWaves(n, K, 1, [](double angle) { return std::sin(angle); }, out);
}

}  // namespace tilevista
