#include "unit_columns.h"

#include <cmath>
#include <cstddef>

namespace tilevista {

void scaleToUnitNorm(double* values, std::int32_t n, std::int32_t count) {
  for (std::int32_t k = 0; k < count; ++k) {
    double* column = values + std::size_t(k) * std::size_t(n);
    double sum = 0.0;
    for (std::int32_t r = 0; r < n; ++r) {
      const double square = column[r] * column[r];
      sum += square;
    }
    if (sum == 0.0) continue;
    const double norm = std::sqrt(sum);
    for (std::int32_t r = 0; r < n; ++r) column[r] /= norm;
  }
}

}  // namespace tilevista
