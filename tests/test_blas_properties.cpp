// Properties of the linked BLAS that the module relies on:
//  - idamax returns the first position among equal absolute maxima (the atom
//    tie-break), whatever the signs and wherever the ties sit in the vector;
//  - dgemv and dgemm with beta = 0.0 write their output without reading it
//    (scratch is never initialised before them).
// Checked against whichever library the test is linked with.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <vector>

#include "blas.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

blas_int firstMaxPosition(const std::vector<double>& x) {
  const blas_int n = blas_int(x.size());
  const blas_int inc = 1;
  return idamax(&n, x.data(), &inc);
}

// Column-major m x n matrix, leading dimension m.
struct Matrix {
  blas_int rows = 0;
  blas_int cols = 0;
  std::vector<double> data;
  Matrix(blas_int r, blas_int c, double fill = 0.0)
      : rows(r), cols(c), data(std::size_t(r) * std::size_t(c), fill) {}
  double& at(blas_int r, blas_int c) { return data[std::size_t(r) + std::size_t(rows) * c]; }
  double at(blas_int r, blas_int c) const { return data[std::size_t(r) + std::size_t(rows) * c]; }
};

Matrix randomMatrix(blas_int rows, blas_int cols, std::mt19937_64& gen) {
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Matrix m(rows, cols);
  for (double& v : m.data) v = dist(gen);
  return m;
}

Matrix transposed(const Matrix& a) {
  Matrix t(a.cols, a.rows);
  for (blas_int r = 0; r < a.rows; ++r)
    for (blas_int c = 0; c < a.cols; ++c) t.at(c, r) = a.at(r, c);
  return t;
}

// Checks C against the plain triple loop for A B. The tolerance is relative to
// the sum of the absolute terms of each entry: |computed - exact| <= 1e-12 *
// sum_l |a_il b_lj|, far above the K * eps bound of any summation order.
void expectProduct(const Matrix& a, const Matrix& b, const Matrix& c) {
  ASSERT_EQ(a.cols, b.rows);
  ASSERT_EQ(c.rows, a.rows);
  ASSERT_EQ(c.cols, b.cols);
  for (blas_int i = 0; i < c.rows; ++i) {
    for (blas_int j = 0; j < c.cols; ++j) {
      double exact = 0.0;
      double scale = 0.0;
      for (blas_int l = 0; l < a.cols; ++l) {
        exact += a.at(i, l) * b.at(l, j);
        scale += std::fabs(a.at(i, l) * b.at(l, j));
      }
      ASSERT_TRUE(std::isfinite(c.at(i, j))) << "entry (" << i << ", " << j << ")";
      ASSERT_NEAR(c.at(i, j), exact, 1e-12 * scale + 1e-300) << "entry (" << i << ", " << j << ")";
    }
  }
}

// C = op(A) op(B) with beta = 0.0 into a NaN-filled C; a C that was read would
// stay NaN.
Matrix gemmIntoNaN(char transa, char transb, const Matrix& a, const Matrix& b) {
  const blas_int m = transa == 'N' ? a.rows : a.cols;
  const blas_int k = transa == 'N' ? a.cols : a.rows;
  const blas_int n = transb == 'N' ? b.cols : b.rows;
  const double one = 1.0;
  const double zero = 0.0;
  Matrix c(m, n, kNaN);
  dgemm(&transa, &transb, &m, &n, &k, &one, a.data.data(), &a.rows, b.data.data(), &b.rows,
        &zero, c.data.data(), &m);
  return c;
}

}  // namespace

TEST(BlasLibrary, ReportsWhichLibraryServes) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&idamax), &info), 0);
  ASSERT_NE(info.dli_fname, nullptr);
  std::cout << "BLAS in use: " << info.dli_fname << std::endl;
  RecordProperty("blas_library", info.dli_fname);
}

// The library reads integers of blas_int's width: a 32-bit library behind the
// 64-bit configuration (or the reverse) misreads every size, which MATLAB does
// not survive. The count is given as the two 32-bit words {3, -1}: 3 to a
// library that reads 32 bits, negative to one that reads 64 (little-endian), so
// each width gives its own answer without reading beyond the vector.
TEST(BlasLibrary, TakesIntegersOfTheConfiguredWidth) {
  const std::int32_t words[2] = {3, -1};
  alignas(8) unsigned char count[sizeof words];
  std::memcpy(count, words, sizeof words);
  const double x[3] = {1.0, 5.0, 2.0};
  const blas_int inc = 1;
  const blas_int position = idamax(reinterpret_cast<const blas_int*>(count), x, &inc);
  if (sizeof(blas_int) == 8) {
    EXPECT_EQ(position, 0) << "a 64-bit-integer configuration linked with a 32-bit BLAS";
  } else {
    EXPECT_EQ(position, 2) << "a 32-bit-integer configuration linked with a 64-bit BLAS";
  }
}

TEST(BlasIdamax, FirstOfEqualAbsoluteMaximaWhateverTheSigns) {
  EXPECT_EQ(firstMaxPosition({1.0, -3.0, 3.0}), 2);
  EXPECT_EQ(firstMaxPosition({-3.0, 3.0}), 1);
  EXPECT_EQ(firstMaxPosition({3.0, -3.0}), 1);
  EXPECT_EQ(firstMaxPosition({3.0, 3.0}), 1);
  EXPECT_EQ(firstMaxPosition({-3.0, -3.0}), 1);
  EXPECT_EQ(firstMaxPosition({0.0, -0.0, 0.0}), 1);
  EXPECT_EQ(firstMaxPosition({0.0, 1.0, -1.0, 1.0}), 2);
  EXPECT_EQ(firstMaxPosition({5.0}), 1);
  // A larger value wins by one ulp whatever its position.
  EXPECT_EQ(firstMaxPosition({2.0, -std::nextafter(2.0, 3.0)}), 2);
}

// Two equal absolute maxima at positions p < q (or a single one, p == q), in all
// four sign combinations, in vectors of length 1..100 so that unrolled and SIMD
// kernels see ties inside and across their blocks and tails.
TEST(BlasIdamax, FirstOfTwoTiesAtEveryPairOfPositions) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  const double signs[2] = {1.0, -1.0};
  for (int n = 1; n <= 100; ++n) {
    std::vector<double> base(static_cast<std::size_t>(n));
    for (double& v : base) v = dist(gen);
    for (int p = 0; p < n; ++p) {
      for (int q = p; q < n; ++q) {
        for (double sp : signs) {
          for (double sq : signs) {
            std::vector<double> x = base;
            x[std::size_t(q)] = 2.0 * sq;
            x[std::size_t(p)] = 2.0 * sp;
            ASSERT_EQ(firstMaxPosition(x), p + 1) << "n=" << n << " p=" << p << " q=" << q
                                                  << " signs " << sp << ", " << sq;
          }
        }
      }
    }
  }
}

// Every element from position p on has the maximal absolute value (alternating
// or random signs): the answer is p + 1.
TEST(BlasIdamax, FirstOfManyTies) {
  std::mt19937_64 gen(12);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::bernoulli_distribution coin(0.5);
  for (int n = 1; n <= 100; ++n) {
    for (int p = 0; p < n; ++p) {
      std::vector<double> alternating(static_cast<std::size_t>(n));
      std::vector<double> randomSigns(static_cast<std::size_t>(n));
      for (int i = 0; i < n; ++i) {
        const double below = 0.5 * dist(gen);
        alternating[std::size_t(i)] = i < p ? below : ((i % 2) ? -1.5 : 1.5);
        randomSigns[std::size_t(i)] = i < p ? below : (coin(gen) ? -1.5 : 1.5);
      }
      ASSERT_EQ(firstMaxPosition(alternating), p + 1) << "n=" << n << " p=" << p;
      ASSERT_EQ(firstMaxPosition(randomSigns), p + 1) << "n=" << n << " p=" << p;
    }
  }
}

// A strictly larger element by one ulp at q wins over an earlier near-equal one.
TEST(BlasIdamax, ExactComparisonNotApproximate) {
  const double big = std::nextafter(2.0, 3.0);
  for (int n = 2; n <= 64; ++n) {
    for (int q = 1; q < n; ++q) {
      std::vector<double> x(static_cast<std::size_t>(n), 0.25);
      x[0] = -2.0;
      x[std::size_t(q)] = (q % 2) ? big : -big;
      ASSERT_EQ(firstMaxPosition(x), q + 1) << "n=" << n << " q=" << q;
    }
  }
}

TEST(BlasBetaZero, DgemvDoesNotReadOutput) {
  std::mt19937_64 gen(21);
  const blas_int shapes[][2] = {{1, 1}, {2, 1}, {1, 7}, {16, 5}, {37, 13}, {256, 60}, {300, 299}};
  for (const auto& shape : shapes) {
    const Matrix a = randomMatrix(shape[0], shape[1], gen);
    for (char trans : {'T', 'N'}) {
      const Matrix op = trans == 'N' ? a : transposed(a);
      const Matrix x = randomMatrix(op.cols, 1, gen);
      // One spare element past the result must stay as it was.
      Matrix y(op.rows + 1, 1, kNaN);
      y.at(op.rows, 0) = 7.0;
      const double one = 1.0;
      const double zero = 0.0;
      const blas_int inc = 1;
      dgemv(&trans, &a.rows, &a.cols, &one, a.data.data(), &a.rows, x.data.data(), &inc, &zero,
            y.data.data(), &inc);
      Matrix result(op.rows, 1);
      for (blas_int i = 0; i < op.rows; ++i) result.at(i, 0) = y.at(i, 0);
      SCOPED_TRACE(testing::Message() << "trans " << trans << ", " << a.rows << " x " << a.cols);
      expectProduct(op, x, result);
      EXPECT_EQ(y.at(op.rows, 0), 7.0);
    }
  }
}

// The four products of the atom scoring, P = Dy^T F Dx in both orders, for
// (rows, cols, Ky, Kx) from single numbers to sizes past the small-matrix paths.
TEST(BlasBetaZero, DgemmDoesNotReadOutputInTheScoringShapes) {
  std::mt19937_64 gen(22);
  const blas_int cases[][4] = {{1, 1, 1, 1},  {1, 1, 5, 3},   {3, 1, 4, 1},    {1, 4, 1, 6},
                               {5, 7, 3, 9},  {8, 8, 16, 16}, {16, 16, 24, 24}, {13, 29, 31, 7},
                               {64, 48, 96, 80}};
  for (const auto& sizes : cases) {
    const blas_int rows = sizes[0], cols = sizes[1], ky = sizes[2], kx = sizes[3];
    SCOPED_TRACE(testing::Message() << "rows " << rows << " cols " << cols << " Ky " << ky
                                    << " Kx " << kx);
    const Matrix dy = randomMatrix(rows, ky, gen);
    const Matrix dx = randomMatrix(cols, kx, gen);
    const Matrix f = randomMatrix(rows, cols, gen);
    const Matrix dyT = transposed(dy);

    const Matrix yFirstT = gemmIntoNaN('T', 'N', dy, f);  // Dy^T F
    expectProduct(dyT, f, yFirstT);
    expectProduct(yFirstT, dx, gemmIntoNaN('N', 'N', yFirstT, dx));  // (Dy^T F) Dx

    const Matrix xFirstT = gemmIntoNaN('N', 'N', f, dx);  // F Dx
    expectProduct(f, dx, xFirstT);
    expectProduct(dyT, xFirstT, gemmIntoNaN('T', 'N', dy, xFirstT));  // Dy^T (F Dx)
  }
}
