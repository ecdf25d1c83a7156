// The choice of the quantizer's step for a target: the largest whose decoded
// image reaches the target PSNR, or the smallest whose file fits the target
// bits per pixel; which atoms are coded follows from the step
// (block_quantizer.h).
//
// Bits are priced with models trained on a first coding of the image. Steps
// are first tried on estimates (the squared error by Parseval from the
// pursuit's coefficients, the bits by the prices); the step found is then
// measured on the decoded image itself (the reconstruction the decoder makes,
// rounded and clipped) and on the coded payload, and the estimates are
// corrected by what the measure says until a measured step meets the target
// (within 0.05 dB of a PSNR, 0.5 % of the bits).
// Only measured steps are ever chosen, so the PSNR reported is the one a
// decoder gets.
#ifndef TILEVISTA_CODEC_RATE_CONTROL_H
#define TILEVISTA_CODEC_RATE_CONTROL_H

#include <cstdint>
#include <vector>

#include "block_quantizer.h"

namespace tilevista {

/// What the encoder aims at: exactly one of the two is > 0.
struct RateTarget {
  double psnr = 0.0;  ///< dB, the least the decoded image may have
  double bits = 0.0;  ///< the most the file may have
};

/// What the rate control settled on.
struct RateChoice {
  Quantization chosen;                ///< measured
  std::vector<std::uint8_t> payload;  ///< chosen.code coded
};

/// Searches the step for a target.
/// @throws CodecError(kTarget) when no step reaches it
RateChoice controlRate(const QuantizerInput& in, const RateTarget& target);

/// The squared error (sum over samples) a PSNR allows.
double squaredErrorFor(double psnr, double peak, std::size_t samples);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_RATE_CONTROL_H
