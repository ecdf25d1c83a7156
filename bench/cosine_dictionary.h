// The toolbox's redundant cosine dictionary for the benchmarks, the fuzzer and
// the tests: the dictionary layer's cosine:K (include/tilevista/dictionary.h),
// which gives the bits the toolbox gives in Octave and NumPy (checked by
// tests/test_dictionaries.cpp against tests/data/cosine_digests.txt, and by
// tests/test_pursuit_reference.cpp against tests/data/cosine_dictionary.txt),
// so that a call made here with these dictionaries is the call a user makes.
// Kept in bench/, which a benchmark of an earlier revision takes from today's
// tree (bench/run_benchmarks then brings today's dictionary layer along).
#ifndef TILEVISTA_COSINE_DICTIONARY_H
#define TILEVISTA_COSINE_DICTIONARY_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tilevista/dictionary.h"

/// n x K, column-major: column k (0-based) samples cos(pi (r + 1/2) k / K) at
/// r = 0..n-1 and is then divided by its Euclidean norm. K = n gives the
/// orthonormal DCT-II basis.
/// @param n  samples per atom (1..tilevista::kMaxDictionaryLength)
/// @param K  atoms (1..tilevista::kMaxDictionaryAtoms)
/// @throws std::invalid_argument for sizes the dictionary layer refuses
inline std::vector<double> cosineDictionary(std::size_t n, std::size_t K) {
  tilevista::Dictionary dictionary;
  tilevista::DictionaryError error;
  const std::int32_t length =
      n > std::size_t(tilevista::kMaxDictionaryLength) ? 0 : static_cast<std::int32_t>(n);
  if (!tilevista::buildDictionary("cosine:" + std::to_string(K), length, &dictionary, &error)) {
    throw std::invalid_argument("cosineDictionary(" + std::to_string(n) + ", " +
                                std::to_string(K) + "): " + error.message);
  }
  return std::move(dictionary.matrix);
}

#endif  // TILEVISTA_COSINE_DICTIONARY_H
