// The orthonormal cosine (DCT-II) basis, written out as the seeds that replay
// fuzz findings use it: a finding depends on the dictionary's exact bits, so the
// seed generator and the test that replays the call must form it the same way.
#ifndef TILEVISTA_FUZZ_COSINE_BASIS_H
#define TILEVISTA_FUZZ_COSINE_BASIS_H

#include <cmath>
#include <cstddef>
#include <vector>

/// n x n, column-major, one atom per column: atom k at sample i is
/// c_k cos(pi (2i + 1) k / 2n), c_0 = sqrt(1/n), c_k = sqrt(2/n) otherwise.
inline std::vector<double> orthonormalCosineBasis(std::size_t n) {
  std::vector<double> d(n * n);
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t i = 0; i < n; ++i)
      d[k * n + i] = (k == 0 ? std::sqrt(1.0 / double(n)) : std::sqrt(2.0 / double(n))) *
                     std::cos(M_PI * double((2 * i + 1) * k) / double(2 * n));
  return d;
}

#endif  // TILEVISTA_FUZZ_COSINE_BASIS_H
