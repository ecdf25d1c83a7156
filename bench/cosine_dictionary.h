// The toolbox's redundant cosine dictionary (octave/tilevista_cosine_dictionary.m)
// in C++, for the benchmarks, the fuzzer and the tests, bit for bit as the
// toolbox computes it in Octave: every rounding step in the same order, so that
// a call made here with these dictionaries is the call a user makes
// (tests/data/cosine_dictionary.txt holds the toolbox's bits, checked on both
// sides). Kept in bench/, which a benchmark of an earlier revision takes from
// today's tree.
#ifndef TILEVISTA_COSINE_DICTIONARY_H
#define TILEVISTA_COSINE_DICTIONARY_H

#include <cmath>
#include <cstddef>
#include <vector>

/// n x K, column-major: column k (0-based) samples cos(pi (r + 1/2) k / K) at
/// r = 0..n-1 and is then divided by its Euclidean norm. K = n gives the
/// orthonormal DCT-II basis.
/// @param n  samples per atom (>= 1)
/// @param K  atoms (>= 1)
inline std::vector<double> cosineDictionary(std::size_t n, std::size_t K) {
  // As Octave evaluates cos (pi * r * (0:K-1) / K) with r = (0:n-1)' + 0.5:
  // pi times r first, then times k, then divided by K; then the column is
  // divided by sqrt of its sum of squares, summed from the first row on.
  const double pi = 3.141592653589793116;  // Octave's pi, the double nearest to it
  std::vector<double> D(n * K);
  for (std::size_t k = 0; k < K; ++k) {
    double* column = D.data() + k * n;
    for (std::size_t r = 0; r < n; ++r) {
      const double scaled = pi * (static_cast<double>(r) + 0.5);
      column[r] = std::cos(scaled * static_cast<double>(k) / static_cast<double>(K));
    }
    double sum = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
      const double square = column[r] * column[r];
      sum += square;
    }
    const double norm = std::sqrt(sum);
    for (std::size_t r = 0; r < n; ++r) column[r] /= norm;
  }
  return D;
}

#endif  // TILEVISTA_COSINE_DICTIONARY_H
