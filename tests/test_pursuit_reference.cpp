// Random images against the plain model of the pursuit, and the identities every
// block's result must satisfy; the cosine dictionary of the benchmarks and the
// fuzzer against the toolbox's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "cosine_dictionary.h"
#include "reference_pursuit.h"
#include "test_arrays.h"

using namespace testing_arrays;

namespace {

struct Shape {
  std::size_t rows, cols, Ky, Kx, d, nc;
  double tol;
  double budget;
};

void PrintTo(const Shape& s, std::ostream* os) {
  *os << s.rows << "x" << s.cols << " blocks, Ky " << s.Ky << ", Kx " << s.Kx << ", " << s.d
      << "x" << s.nc << " cell, tol " << s.tol << ", budget " << s.budget;
}

double maxAbs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::fmax(m, std::fabs(x));
  return m;
}

// |a - b| <= rel * max(1, |b|max) elementwise.
void expectClose(const std::vector<double>& a, const std::vector<double>& b, double rel,
                 const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  const double scale = std::fmax(1.0, maxAbs(b));
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], rel * scale) << what << "[" << i << "]";
}

std::vector<double> toDouble(const std::vector<int>& v) { return std::vector<double>(v.begin(), v.end()); }

class AgainstReference : public ::testing::TestWithParam<Shape> {};

TEST_P(AgainstReference, SameAtomsSameValuesAndBlockIdentities) {
  const Shape s = GetParam();
  const Problem p = randomProblem(s.rows, s.cols, s.Ky, s.Kx, s.d, s.nc,
                                  static_cast<unsigned>(s.rows * 131 + s.Kx * 7 + s.d));
  const host::Array tol = scalar(s.tol), budget = scalar(s.budget);
  const ModuleCall call = callModule(
      {p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), tol.get(), budget.get()});
  ASSERT_FALSE(call.result.failed) << call.result.error;
  const reference::Result ref = reference::pursue(p.blocks, s.rows, s.cols, p.Dy, s.Ky, p.Dx,
                                                  s.Kx, s.tol, static_cast<long long>(s.budget));
  EXPECT_EQ(call.totalAtoms(), ref.totalAtoms);
  EXPECT_EQ(call.result.console.find("reached (tol)") != std::string::npos, ref.stop == "tol");
  EXPECT_EQ(call.result.console.find("stopped, max") != std::string::npos, ref.stop == "tol2");

  const std::size_t N = s.rows * s.cols;
  double atoms = 0;
  for (std::size_t q = 0; q < p.blocks.size(); ++q) {
    const std::string at = "block " + std::to_string(q);
    const std::vector<double> y = call.elementValues(1, q), x = call.elementValues(2, q);
    EXPECT_EQ(y, toDouble(ref.yIndex[q])) << at;
    EXPECT_EQ(x, toDouble(ref.xIndex[q])) << at;
    const std::size_t m = y.size();
    atoms += static_cast<double>(m);
    expectClose(call.elementValues(0, q), ref.approximation[q], 1e-9, at + " approximation");
    expectClose(call.elementValues(4, q), ref.coefficient[q], 1e-9, at + " coefficients");
    expectClose(call.elementValues(5, q), ref.ortho[q], 1e-9, at + " orthonormal");
    expectClose(call.elementValues(3, q), ref.dual[q], 1e-9, at + " duals");
    if (m == 0) continue;

    const std::vector<double> U = call.elementValues(5, q), B = call.elementValues(3, q);
    const std::vector<double> c = call.elementValues(4, q), f = p.blocks[q];
    std::vector<std::vector<double>> A(m, std::vector<double>(N));
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t cc = 0; cc < s.cols; ++cc)
        for (std::size_t r = 0; r < s.rows; ++r)
          A[j][cc * s.rows + r] = p.Dy[(static_cast<std::size_t>(y[j]) - 1) * s.rows + r] *
                                  p.Dx[(static_cast<std::size_t>(x[j]) - 1) * s.cols + cc];
    // Orthonormality U^T U = I and biorthogonality B^T A = I, entrywise within 1e-10
    // (relative to the atoms' size for B^T A).
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < m; ++j) {
        double uu = 0, ba = 0;
        for (std::size_t t = 0; t < N; ++t) {
          uu += U[i * N + t] * U[j * N + t];
          ba += B[i * N + t] * A[j][t];
        }
        EXPECT_NEAR(uu, i == j ? 1.0 : 0.0, 1e-10) << at;
        EXPECT_NEAR(ba, i == j ? 1.0 : 0.0, 1e-10) << at;
      }
    }
    // The approximation is sum_j c_j a_j, and the residual f - approx is orthogonal
    // to every atom (an orthogonal projection).
    const std::vector<double> approx = call.elementValues(0, q);
    for (std::size_t t = 0; t < N; ++t) {
      double sum = 0;
      for (std::size_t j = 0; j < m; ++j) sum += c[j] * A[j][t];
      EXPECT_NEAR(approx[t], sum, 1e-10 * std::fmax(1.0, maxAbs(f))) << at;
    }
    for (std::size_t j = 0; j < m; ++j) {
      double r = 0;
      for (std::size_t t = 0; t < N; ++t) r += (f[t] - approx[t]) * A[j][t];
      EXPECT_NEAR(r, 0.0, 1e-10) << at;
    }
  }
  EXPECT_EQ(atoms, call.totalAtoms());
}

// The C++ cosine dictionary gives the bits the toolbox gives in Octave, as
// recorded (and checked against the toolbox) in tests/data/cosine_dictionary.txt.
TEST(CosineDictionary, GivesTheToolboxBitsAsRecorded) {
  std::ifstream in(std::string(TILEVISTA_SOURCE_DIR) + "/tests/data/cosine_dictionary.txt");
  ASSERT_TRUE(in.good());
  std::string line;
  std::size_t atoms = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::size_t n = 0, K = 0, k = 0;
    fields >> n >> K >> k;
    ASSERT_LT(k, K) << line;
    const std::vector<double> D = cosineDictionary(n, K);
    for (std::size_t r = 0; r < n; ++r) {
      std::string hex;
      ASSERT_TRUE(fields >> hex) << line;
      std::uint64_t bits = 0;
      std::memcpy(&bits, &D[k * n + r], sizeof bits);
      EXPECT_EQ(bits, std::stoull(hex, nullptr, 16)) << "n " << n << " K " << K << " atom " << k
                                                      << " row " << r;
    }
    ++atoms;
  }
  EXPECT_GE(atoms, 80u);
}

INSTANTIATE_TEST_SUITE_P(
    RandomImages, AgainstReference,
    ::testing::Values(Shape{8, 8, 16, 16, 4, 4, 20.0, 0},    // redundant, tol stop
                      Shape{4, 6, 5, 9, 3, 5, 1.0, 0},       // rows != cols, Ky != Kx
                      Shape{6, 3, 12, 2, 5, 2, 0.5, 0},      // X-first product order
                      Shape{3, 7, 1, 9, 2, 3, 0.0, 0},       // Ky = 1, runs to tol2
                      Shape{5, 1, 8, 1, 4, 1, 0.0, 0},       // Kx = 1, column blocks
                      Shape{1, 1, 3, 2, 3, 3, 0.0, 0},       // one-pixel blocks
                      Shape{8, 8, 16, 16, 3, 3, 0.0, 40},    // budget stop
                      Shape{4, 4, 2, 3, 3, 3, 0.0, 0}),      // cap = Ky*Kx < N: blocks fill
    [](const ::testing::TestParamInfo<Shape>& info) { return "case" + std::to_string(info.index); });

}  // namespace
