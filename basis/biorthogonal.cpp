// Growth of a block's dual set by one vector. The new dual vector is u / nrm; the
// earlier ones lose their component along u scaled so that they become
// orthogonal to the new atom while keeping their products with the older atoms.
#include "biorthogonal.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "aligned_doubles.h"
#include "blas.h"

void updateBiorthogonalSet(double* B, const double* a, const double* u, double nrm,
                           std::int32_t N, std::int32_t k) {
  const blas_int n = N;
  const blas_int inc = 1;
  const double reciprocal = 1.0 / nrm;

  if (k >= 1) {
    const char trans = 'T';
    const double one = 1.0;
    const double zero = 0.0;
    const blas_int cols = k;
    // s_j = (b_j . a) / nrm from the dual vectors before this update; beta = 0.0,
    // so s needs no initialisation.
    const AlignedDoubles s{static_cast<std::size_t>(k)};
    dgemv(&trans, &n, &cols, &one, B, &n, a, &inc, &zero, s.get(), &inc);
    dscal(&cols, &reciprocal, s.get(), &inc);
    // b_j -= s_j u for the k earlier columns; column k is not touched here.
    rankOneUpdate(B, u, s.get(), N, k);
  }

  double* bk = B + std::size_t(N) * std::size_t(k);
  std::memcpy(bk, u, std::size_t(N) * sizeof(double));
  dscal(&n, &reciprocal, bk, &inc);
}

void rankOneUpdate(double* A, const double* x, const double* y, std::int32_t m, std::int32_t n) {
  const blas_int rows = m;
  const blas_int cols = n;
  const blas_int inc = 1;
  const double minusOne = -1.0;
  dger(&rows, &cols, &minusOne, x, &inc, y, &inc, A, &rows);
}
