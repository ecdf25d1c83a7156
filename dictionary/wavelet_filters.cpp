#include "wavelet_filters.h"

#include <cstddef>

namespace tilevista {

namespace {

// The Daubechies low-pass filters, P = 1..4 vanishing moments.
const std::vector<double>& daubechiesLowPass(std::int32_t P) {
  static const std::vector<double> filters[kMaxDaubechiesMoments] = {
      {0.7071067811865476, 0.7071067811865476},
      {0.4829629131445341, 0.8365163037378079, 0.2241438680420134, -0.1294095225512604},
      {0.3326705529500826, 0.8068915093110925, 0.4598775021184915, -0.1350110200102545,
       -0.0854412738820267, 0.0352262918857095},
      {0.2303778133088964, 0.7148465705529154, 0.6308807679298587, -0.0279837694168599,
       -0.1870348117190931, 0.0308413818355607, 0.0328830116668852, -0.0105974017850690}};
  return filters[P - 1];
}

// A symmetric filter from its taps at 0, 1, 2, ... from the centre, with the
// centre placed `centre` samples after 2k.
WaveletChannel symmetric(const std::vector<double>& fromCentre, std::int32_t centre) {
  const std::int32_t half = static_cast<std::int32_t>(fromCentre.size()) - 1;
  WaveletChannel channel;
  for (std::int32_t t = -half; t <= half; ++t) channel.taps.push_back(fromCentre[t < 0 ? -t : t]);
  channel.start = centre - half;
  return channel;
}

}  // namespace

WaveletBank daubechiesBank(std::int32_t P) {
  WaveletBank bank;
  bank.synthesisLow.taps = daubechiesLowPass(P);
  const std::size_t length = bank.synthesisLow.taps.size();
  for (std::size_t t = 0; t < length; ++t) {
    const double tap = bank.synthesisLow.taps[length - 1 - t];
    bank.synthesisHigh.taps.push_back(t % 2 == 0 ? tap : -tap);
  }
  bank.analysisLow = bank.synthesisLow;
  bank.analysisHigh = bank.synthesisHigh;
  return bank;
}

WaveletBank cdf97Bank() {
  WaveletBank bank;
  bank.analysisLow = symmetric({0.6029490182363579, 0.2668641184428723, -0.07822326652898785,
                                -0.01686411844287495, 0.02674875741080976}, 0);
  bank.analysisHigh = symmetric({1.115087052456994, -0.5912717631142470, -0.05754352622849957,
                                 0.09127176311424948}, 1);
  bank.synthesisLow = symmetric({1.115087052456994, 0.5912717631142470, -0.05754352622849957,
                                 -0.09127176311424948}, 0);
  bank.synthesisHigh = symmetric({0.6029490182363579, -0.2668641184428723, -0.07822326652898785,
                                  0.01686411844287495, 0.02674875741080976}, 1);
  return bank;
}

}  // namespace tilevista
