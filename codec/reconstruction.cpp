// The shared reconstruction (reconstruction.h). Plain loops in a fixed order,
// no BLAS: the sums are then the same in the encoder and the decoder whatever
// kernels a BLAS would pick.
#include "reconstruction.h"

namespace tilevista {

double vectorSum(const double* u, std::int32_t N) {
  double sum = 0.0;
  for (std::int32_t i = 0; i < N; ++i) sum += u[i];
  return sum;
}

double firstPrediction(const PlaneGeometry& g, const std::vector<double>& planes, std::int64_t q,
                       double firstSum) {
  return neighbourMean(g, planes, q) * firstSum;
}

void placeBlock(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q,
                const double* U, const double* coefficients, std::int32_t m, double* block) {
  const std::size_t N = std::size_t(g.blockPixels());
  for (std::size_t i = 0; i < N; ++i) block[i] = 0.0;
  for (std::int32_t k = 0; k < m; ++k) {
    const double* u = U + N * std::size_t(k);
    const double c = coefficients[k];
    for (std::size_t i = 0; i < N; ++i) block[i] += c * u[i];
  }
  writeBlock(g, planes, q, block);
}

void blockCoefficients(const Dequantizer& dq, const std::int32_t* levels, std::int32_t m,
                       double prediction, double* coefficients) {
  for (std::int32_t k = 0; k < m; ++k) coefficients[k] = dq.value(levels[k]);
  if (m > 0) coefficients[0] += prediction;
}

}  // namespace tilevista
