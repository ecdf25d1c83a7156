// Gaussian random atoms from the layer's own generator and transform, built
// from integer operations and IEEE arithmetic (+, -, *, /, sqrt) alone, so that
// a seed gives the same bits on every platform and standard library.
#ifndef TILEVISTA_RANDOM_ATOMS_H
#define TILEVISTA_RANDOM_ATOMS_H

#include <cstdint>

namespace tilevista {

/// Standard normal numbers: a SplitMix64 stream of 64-bit words (the seed is
/// its starting state), 53-bit uniforms, and Marsaglia's polar method with a
/// logarithm of its own.
class GaussianStream {
 public:
  explicit GaussianStream(std::uint64_t seed) : state_(seed) {}
  /// The next standard normal number.
  double next();

 private:
  std::uint64_t nextWord();
  double uniform();  // in [0, 1)

  std::uint64_t state_;
  double spare_ = 0.0;
  bool haveSpare_ = false;
};

/// log(s) for 0 < s < 1 from +, -, *, / and frexp alone (the polar method's
/// logarithm): within a few units in the last place of the true value.
/// @param s  in: 0 < s < 1
double naturalLog(double s);

/// K columns of n standard normal numbers, drawn column by column from the
/// stream of `seed`, each scaled to unit norm. The first columns of a larger
/// K are those of a smaller one.
/// @param n     in: rows (>= 1)
/// @param K     in: columns (>= 1)
/// @param seed  in: the stream's seed
/// @param out   out: n x K, column-major
void randomAtoms(std::int32_t n, std::int32_t K, std::uint64_t seed, double* out);

}  // namespace tilevista

#endif  // TILEVISTA_RANDOM_ATOMS_H
