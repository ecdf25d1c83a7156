// Classical Gram-Schmidt sweeps of a block's newest column against the block's
// orthonormal columns. Each sweep takes all k projection coefficients in one
// dgemv before subtracting any of them.
#include "orthogonalize.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "aligned_doubles.h"
#include "blas.h"
#include "tilevista/pursuit.h"

namespace {

// Sweeps after the first projection.
const std::int32_t kReorthogonalizationPasses = 2;

// s_j = u_j . v for j < k in one dgemv over the k columns of U; beta = 0.0, so
// s needs no initialisation.
void projectionCoefficients(const double* U, const double* v, std::int32_t N, std::int32_t k,
                            double* s) {
  const char trans = 'T';
  const double one = 1.0;
  const double zero = 0.0;
  const blas_int n = N;
  const blas_int cols = k;
  const blas_int inc = 1;
  dgemv(&trans, &n, &cols, &one, U, &n, v, &inc, &zero, s, &inc);
}

// v = a - sum_j s_j u_j over the k columns u_j of U, every coefficient taken from
// a itself. v is column k of the same matrix, disjoint from columns 0..k-1: saying
// so (restrict) lets the compiler vectorise the subtraction without run-time
// overlap checks. Each element still gets the same subtractions in the same order
// of j, so the result does not depend on how the loop is vectorised.
void subtractProjections(const double* __restrict U, const double* __restrict a,
                         const double* __restrict s, std::size_t len, std::int32_t k,
                         double* __restrict v) {
  for (std::size_t i = 0; i < len; ++i) v[i] = a[i];
  for (std::int32_t j = 0; j < k; ++j) {
    const double* u = U + len * std::size_t(j);
    const double sj = s[std::size_t(j)];
    for (std::size_t i = 0; i < len; ++i) v[i] -= u[i] * sj;
  }
}

}  // namespace

void projectOutBasis(double* U, const double* a, std::int32_t N, std::int32_t k) {
  const std::size_t len = std::size_t(N);
  const AlignedDoubles s{static_cast<std::size_t>(k)};
  projectionCoefficients(U, a, N, k, s.get());
  subtractProjections(U, a, s.get(), len, k, U + len * std::size_t(k));
}

void reorthogonalize(double* U, std::int32_t N, std::int32_t k, std::int32_t passes) {
  if (passes <= 0) return;
  const blas_int n = N;
  const blas_int inc = 1;
  const std::size_t len = std::size_t(N);

  const AlignedDoubles s{static_cast<std::size_t>(k)};
  double* v = U + len * std::size_t(k);
  for (std::int32_t pass = 0; pass < passes; ++pass) {
    // All coefficients of the pass from v as it stands at the start of the pass.
    projectionCoefficients(U, v, N, k, s.get());
    for (std::int32_t j = 0; j < k; ++j) {
      const double alpha = -s[std::size_t(j)];
      daxpy(&n, &alpha, U + len * std::size_t(j), &inc, v, &inc);
    }
  }
}

bool appendOrthonormalVector(double* U, const double* a, std::int32_t N, std::int32_t k,
                             const FusedBasis* fused, double* nrm) {
  const blas_int n = N;
  const blas_int inc = 1;
  double* Uk = U + std::size_t(N) * std::size_t(k);
  double norm = 0.0, atomNorm = 0.0;
  if (fused != nullptr) {
    norm = fused->orthogonalize(U, a, N, k, kReorthogonalizationPasses);
    atomNorm = fused->norm(a, N);
  } else {
    if (k == 0) {
      std::memcpy(Uk, a, std::size_t(N) * sizeof(double));
    } else {
      projectOutBasis(U, a, N, k);
      reorthogonalize(U, N, k, kReorthogonalizationPasses);
    }
    norm = dnrm2(&n, Uk, &inc);
    atomNorm = dnrm2(&n, a, &inc);
  }
  const double reciprocal = 1.0 / norm;
  if (!(norm > kTol1 * atomNorm) || !std::isfinite(reciprocal) || !std::isfinite(norm)) {
    // The atom lies, up to rounding, in the span of the earlier ones, or its
    // new direction is too small or too large (its norm overflows, so the
    // reciprocal is 0) for a finite unit vector and dual.
    return false;
  }
  if (fused != nullptr) {
    fused->scale(Uk, reciprocal, N);
  } else {
    dscal(&n, &reciprocal, Uk, &inc);
  }
  *nrm = norm;
  return true;
}
