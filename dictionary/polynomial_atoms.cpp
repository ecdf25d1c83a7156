#include "polynomial_atoms.h"

#include <cstddef>
#include <vector>

#include "unit_columns.h"

namespace tilevista {

namespace {

std::vector<double> cellCentres(std::int32_t n) {
  std::vector<double> x(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) x[i] = (2.0 * i + 1.0) / n - 1.0;
  return x;
}

// Removes from v (n values) its components along the first `count` columns
// of the orthonormal set q (n x count, column-major): classical Gram-Schmidt.
void removeComponents(const double* q, std::int32_t n, std::int32_t count, double* v) {
  std::vector<double> along(static_cast<std::size_t>(count));
  for (std::int32_t j = 0; j < count; ++j) {
    const double* column = q + std::size_t(j) * std::size_t(n);
    double dot = 0.0;
    for (std::int32_t i = 0; i < n; ++i) dot += column[i] * v[i];
    along[j] = dot;
  }
  for (std::int32_t j = 0; j < count; ++j) {
    const double* column = q + std::size_t(j) * std::size_t(n);
    for (std::int32_t i = 0; i < n; ++i) v[i] -= along[j] * column[i];
  }
}

}  // namespace

void legendreAtoms(std::int32_t n, std::int32_t K, double* out) {
  const std::vector<double> x = cellCentres(n);
  for (std::int32_t i = 0; i < n; ++i) out[i] = 1.0;
  scaleToUnitNorm(out, n, 1);
  for (std::int32_t k = 1; k < K; ++k) {
    const double* previous = out + std::size_t(k - 1) * std::size_t(n);
    double* column = out + std::size_t(k) * std::size_t(n);
    for (std::int32_t i = 0; i < n; ++i) column[i] = x[i] * previous[i];
    // Twice: the second pass removes what rounding left of the first.
    removeComponents(out, n, k, column);
    removeComponents(out, n, k, column);
    scaleToUnitNorm(column, n, 1);
    if (column[n - 1] < 0.0) {
      for (std::int32_t i = 0; i < n; ++i) column[i] = -column[i];
    }
  }
}

void chebyshevAtoms(std::int32_t n, std::int32_t K, double* out) {
  const std::vector<double> x = cellCentres(n);
  for (std::int32_t k = 0; k < K; ++k) {
    double* column = out + std::size_t(k) * std::size_t(n);
    for (std::int32_t i = 0; i < n; ++i) {
      if (k == 0) {
        column[i] = 1.0;
      } else if (k == 1) {
        column[i] = x[i];
      } else {
        column[i] = 2.0 * x[i] * column[i - n] - column[i - 2 * n];
      }
    }
  }
  scaleToUnitNorm(out, n, K);
}

}  // namespace tilevista
