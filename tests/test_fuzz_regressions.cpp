// Calls found by the fuzzer (fuzz/) or by the hostile-call suite that once
// broke an invariant of the module, each replayed as a plain call.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "overflow_finding.h"
#include "test_arrays.h"

using namespace testing_arrays;

namespace {

// An atom whose norm is below 1/DBL_MAX (a subnormal-scale product of tiny
// dictionary entries) scores above 1e-10 against a block near DBL_MAX. Its
// orthonormal vector is the atom times 1.0/nrm, and that reciprocal overflowed:
// the vector became infinite and the approximation NaN, although every input is
// finite and the true vector and approximation are representable. Found by the
// hostile calls in Octave; the driver now refuses such an atom.
TEST(FuzzRegressions, AtomOfSubnormalNormKeepsOutputsFinite) {
  const host::Array f0 = matrix(2, 1, {1e308, 1.5e308}), f1 = matrix(2, 1, {0, 1});
  const host::Array blocks = cell(1, 2, {f0.get(), f1.get()});
  // Atom (2, 1) is [1e-310; 1e-320]: its norm is 1e-310.
  const host::Array Dy = matrix(2, 2, {1e-160, 0, 1e-160, 1e-170});
  const host::Array Dx = matrix(1, 1, {1e-150});
  const host::Array tolZero = scalar(0.0);
  const ModuleCall call = callModule({blocks.get(), Dy.get(), Dx.get(), tolZero.get()});
  ASSERT_FALSE(call.result.failed) << call.result.error;
  for (std::size_t i = 0; i < 2; ++i) {
    // Orthonormal vectors have unit norm whatever the scale of the atoms.
    const std::vector<double> u = call.elementValues(5, i);
    for (std::size_t k = 0; k * 2 < u.size(); ++k) {
      EXPECT_TRUE(std::isfinite(u[2 * k]) && std::isfinite(u[2 * k + 1])) << "block " << i + 1;
      EXPECT_NEAR(std::hypot(u[2 * k], u[2 * k + 1]), 1.0, 1e-12) << "block " << i + 1;
    }
    for (double v : call.elementValues(0, i)) EXPECT_TRUE(std::isfinite(v)) << "block " << i + 1;
  }
}

// An atom of norm just below DBL_MAX (a dictionary column holding -DBL_MAX
// times a unit cosine): once its projections on the block's earlier vectors are
// removed, the computed norm of what is left rounds up to infinity. Its
// reciprocal is then 0, and the "unit" vector came out as zeros (NaN with some
// BLAS) for every finite input. Found by the fuzzer; the driver now refuses an
// atom whose new direction has no finite norm, as one whose reciprocal overflows.
TEST(FuzzRegressions, AtomWhoseReducedNormOverflowsIsRefused) {
  const std::size_t rows = 2, cols = 4, Kx = 4;
  const host::Array Dx = matrix(cols, Kx, overflowFindingDictionary());
  const host::Array Dy = matrix(rows, 2, {-std::numeric_limits<double>::max(), 0.50557670085499362,
                                          0.76268365812864669, -0.97666161089910197});
  const host::Array f0 = matrix(rows, cols,
                                {-0.0037818608510115093, -0.8524159776877166, 0.57390294788160645,
                                 -0.87186534565431573, -0.28937927333176505, 0.883673895885418,
                                 -0.24039341955998128, 0.52584013447027056});
  const host::Array blocks = cell(1, 1, {f0.get()});
  const host::Array tolZero = scalar(0.0);
  const ModuleCall call = callModule({blocks.get(), Dy.get(), Dx.get(), tolZero.get()});
  ASSERT_FALSE(call.result.failed) << call.result.error;
  // Every orthonormal vector has unit norm; nothing is infinite or NaN.
  const std::vector<double> u = call.elementValues(5, 0);
  const std::size_t N = rows * cols;
  ASSERT_GE(u.size(), N);
  for (std::size_t k = 0; k * N < u.size(); ++k) {
    double s = 0;
    for (std::size_t p = 0; p < N; ++p) s += u[k * N + p] * u[k * N + p];
    EXPECT_NEAR(std::sqrt(s), 1.0, 1e-12) << "vector " << k + 1;
  }
  for (int o = 0; o < 6; ++o)
    for (double v : call.elementValues(o, 0)) EXPECT_TRUE(std::isfinite(v)) << "output " << o + 1;
}

}  // namespace
