#include "tol_as_psnr.h"

#include <cmath>
#include <limits>

namespace {

// The tols that may be a PSNR in dB, and how many dB more than its own value
// a tol must ask to read as one.
const double kLowestDb = 10.0, kHighestDb = 100.0;
const double kMarginDb = 20.0;

}  // namespace

double tolReadsAsPsnr(double tol, double values, double peak) {
  const double none = std::numeric_limits<double>::quiet_NaN();
  if (!(tol >= kLowestDb && tol <= kHighestDb) || !(values > 0 && peak > 0)) return none;
  const double asked = 10.0 * std::log10(values * (peak * peak) / tol);
  return asked >= tol + kMarginDb ? asked : none;
}

double tolReadsAsPsnr(const CheckedCall& call, double* peak) {
  const std::int64_t N = static_cast<std::int64_t>(call.rows) * call.cols;
  double top = 0.0;
  for (const double* block : call.blocks) {
    for (std::int64_t k = 0; k < N; ++k) {
      const double magnitude = std::fabs(block[k]);
      if (magnitude > top && std::isfinite(magnitude)) top = magnitude;
    }
  }
  *peak = top;
  return tolReadsAsPsnr(call.tol, static_cast<double>(N) * call.blockCount, top);
}
