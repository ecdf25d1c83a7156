#include "wavelet_atoms.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "unit_columns.h"

namespace tilevista {

namespace {

// Adds coefficient times the channel's vector of coefficient k, at a level of
// even length m, into signal (m values).
void addChannelVector(const WaveletChannel& channel, std::int32_t m, std::int32_t k,
                      double coefficient, double* signal) {
  if (coefficient == 0.0) return;
  const std::int32_t taps = static_cast<std::int32_t>(channel.taps.size());
  for (std::int32_t t = 0; t < taps; ++t) {
    std::int32_t sample = (2 * k + channel.start + t) % m;
    if (sample < 0) sample += m;
    signal[sample] += coefficient * channel.taps[t];
  }
}

// The lengths of the levels: n, n/2, ... down to the first odd one.
std::vector<std::int32_t> levelLengths(std::int32_t n) {
  std::vector<std::int32_t> lengths{n};
  while (lengths.back() % 2 == 0) lengths.push_back(lengths.back() / 2);
  return lengths;
}

}  // namespace

void waveletBasis(const WaveletBank& bank, WaveletSide side, std::int32_t n, double* out) {
  const bool synthesis = side == WaveletSide::synthesis;
  const WaveletChannel& low = synthesis ? bank.synthesisLow : bank.analysisLow;
  const WaveletChannel& high = synthesis ? bank.synthesisHigh : bank.analysisHigh;
  const std::vector<std::int32_t> lengths = levelLengths(n);
  std::vector<double> coefficients(static_cast<std::size_t>(n));
  std::vector<double> signal(static_cast<std::size_t>(n));
  for (std::int32_t atom = 0; atom < n; ++atom) {
    // Coefficients [coarsest low | coarsest high | ... | finest high], one unit.
    std::fill(coefficients.begin(), coefficients.end(), 0.0);
    coefficients[atom] = 1.0;
    // From the coarsest level out: the first 2 * half coefficients become the
    // m = 2 * half samples of the next finer level's coarse part.
    for (std::size_t level = lengths.size() - 1; level > 0; --level) {
      const std::int32_t half = lengths[level];
      const std::int32_t m = lengths[level - 1];
      std::fill(signal.begin(), signal.begin() + m, 0.0);
      for (std::int32_t k = 0; k < half; ++k) {
        addChannelVector(low, m, k, coefficients[k], signal.data());
        addChannelVector(high, m, k, coefficients[half + k], signal.data());
      }
      std::copy(signal.begin(), signal.begin() + m, coefficients.begin());
    }
    std::copy(coefficients.begin(), coefficients.end(), out + std::size_t(atom) * std::size_t(n));
  }
}

void waveletAtoms(const WaveletBank& bank, std::int32_t n, double* out) {
  waveletBasis(bank, WaveletSide::synthesis, n, out);
  scaleToUnitNorm(out, n, n);
}

}  // namespace tilevista
