// The two-channel filter banks of the wavelet families, as published: the
// orthonormal Daubechies low-pass filters with 1..4 vanishing moments (1 is
// Haar) and the biorthogonal CDF 9/7 pair.
//
// Placement: at a level of even length m, the vector of coefficient k
// (k = 0..m/2-1) of a channel holds tap t of that channel's filter at sample
// (2k + start + t) mod m, the filter wrapped around the period when it is
// longer than m.
#ifndef TILEVISTA_WAVELET_FILTERS_H
#define TILEVISTA_WAVELET_FILTERS_H

#include <cstdint>
#include <vector>

namespace tilevista {

/// One channel: its taps and where tap 0 lies relative to sample 2k.
struct WaveletChannel {
  std::vector<double> taps;
  std::int32_t start = 0;
};

/// A filter bank. Synthesis rebuilds a signal as the sum of its coefficients
/// times the synthesis vectors; analysis takes the coefficients as inner
/// products with the analysis vectors. For an orthonormal bank the two are
/// the same.
struct WaveletBank {
  WaveletChannel synthesisLow, synthesisHigh, analysisLow, analysisHigh;
};

/// Most vanishing moments of daubechiesBank.
constexpr std::int32_t kMaxDaubechiesMoments = 4;

/// The orthonormal Daubechies bank with P vanishing moments (2P taps, causal,
/// start 0): low-pass h summing to sqrt(2) with sum h^2 = 1, high-pass
/// g[t] = (-1)^t h[2P-1-t]; analysis equals synthesis.
/// @param P  in: 1..kMaxDaubechiesMoments
WaveletBank daubechiesBank(std::int32_t P);

/// The CDF 9/7 bank: symmetric filters, the low-pass channels centred on
/// sample 2k, the high-pass ones on 2k + 1; the analysis low-pass sums to 1,
/// the synthesis low-pass to 2.
WaveletBank cdf97Bank();

}  // namespace tilevista

#endif  // TILEVISTA_WAVELET_FILTERS_H
