// Atom scoring, index split and atom synthesis.
//
// The test executable interposes dgemm: every call is forwarded to the linked
// BLAS and, while a recorder is active, its arguments and output are kept. That
// shows which product order the selection took and gives the whole score table
// P, which the selection itself only reduces to its maximum.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "blas.h"
#include "separable_atom.h"
#include "column_matrix.h"

namespace {

struct GemmCall {
  char transa, transb;
  blas_int m, n, k, lda, ldb, ldc;
  double alpha, beta;
  std::vector<double> c;  // the output after the call, m x n
};

std::vector<GemmCall>* gemmLog = nullptr;

#define TILEVISTA_TEST_NAME2(x) #x
#define TILEVISTA_TEST_NAME(x) TILEVISTA_TEST_NAME2(x)

}  // namespace

extern "C" void dgemm(const char* transa, const char* transb, const blas_int* m,
                      const blas_int* n, const blas_int* k, const double* alpha, const double* a,
                      const blas_int* lda, const double* b, const blas_int* ldb, const double* beta,
                      double* c, const blas_int* ldc, std::size_t transa_len,
                      std::size_t transb_len) {
  using Gemm = decltype(&dgemm);
  static const Gemm linked =
      reinterpret_cast<Gemm>(dlsym(RTLD_NEXT, TILEVISTA_TEST_NAME(dgemm)));
  if (linked == nullptr) std::abort();  // the BLAS must be a shared library here
  linked(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, transa_len, transb_len);
  if (gemmLog != nullptr) {
    GemmCall call{*transa, *transb, *m, *n, *k, *lda, *ldb, *ldc, *alpha, *beta, {}};
    for (blas_int j = 0; j < *n; ++j)
      for (blas_int i = 0; i < *m; ++i) call.c.push_back(c[std::size_t(i) + std::size_t(*ldc) * j]);
    gemmLog->push_back(std::move(call));
  }
}

namespace {

// Records the dgemm calls made during its lifetime.
struct GemmRecorder {
  std::vector<GemmCall> calls;
  GemmRecorder() { gemmLog = &calls; }
  ~GemmRecorder() { gemmLog = nullptr; }
};


Matrix randomMatrix(std::int32_t rows, std::int32_t cols, std::mt19937_64& gen) {
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Matrix m(rows, cols);
  for (double& v : m.data) v = dist(gen);
  return m;
}

// rows x k matrix with the k x k identity on top and zeros below (rows >= k).
Matrix paddedIdentity(std::int32_t rows, std::int32_t k) {
  Matrix m(rows, k);
  for (std::int32_t i = 0; i < k; ++i) m.at(i, i) = 1.0;
  return m;
}

// Score table by the triple loop, P[i, j] = sum_{r,c} Dy[r, i] F[r, c] Dx[c, j],
// with the sum of the absolute terms as the scale of each entry's rounding error.
struct Scores {
  Matrix value;
  Matrix scale;
};

Scores directScores(const Matrix& dy, const Matrix& dx, const Matrix& f) {
  Scores s{Matrix(dy.cols, dx.cols), Matrix(dy.cols, dx.cols)};
  for (std::int32_t i = 0; i < dy.cols; ++i)
    for (std::int32_t j = 0; j < dx.cols; ++j)
      for (std::int32_t c = 0; c < f.cols; ++c)
        for (std::int32_t r = 0; r < f.rows; ++r) {
          const double term = dy.at(r, i) * f.at(r, c) * dx.at(c, j);
          s.value.at(i, j) += term;
          s.scale.at(i, j) += std::fabs(term);
        }
  return s;
}

struct Selection {
  double bestValue = -1.0;
  std::int32_t yIndex = -1, xIndex = -1, linearIndex = -1;
};

Selection select(const Matrix& dy, const Matrix& dx, const Matrix& f) {
  Selection s;
  selectSeparableAtom(dy.data.data(), dx.data.data(), f.data.data(), dy.cols, dx.cols, f.rows,
                      f.cols, &s.bestValue, &s.yIndex, &s.xIndex, &s.linearIndex);
  return s;
}

}  // namespace

// Both product orders against the triple loop. The order with the smaller
// intermediate is taken: Y-first (T = Dy^T F, Ky x cols) when Ky*cols <= Kx*rows,
// X-first (T = F Dx, rows x Kx) otherwise. Tolerance: |P - exact| <= 1e-12 times
// the sum of the absolute terms of the entry.
TEST(SelectSeparableAtom, BothProductOrdersMatchTheDirectSum) {
  struct Case {
    std::int32_t rows, cols, ky, kx;
    bool yFirst;
  };
  const Case cases[] = {
      {5, 7, 3, 9, true},    // 21 < 45
      {7, 5, 9, 3, false},   // 45 > 21
      {4, 6, 2, 3, true},    // 12 == 12: ties go Y-first
      {4, 6, 6, 4, false},   // 36 > 16
      {6, 4, 1, 5, true},    // Ky = 1: 4 < 30
      {1, 8, 1, 3, false},   // Ky = 1: 8 > 3
      {8, 2, 3, 1, true},    // Kx = 1: 6 < 8
      {3, 5, 4, 1, false},   // Kx = 1: 20 > 3
      {1, 1, 3, 5, true},    // single number: 3 < 5
      {1, 1, 5, 3, false},   // 5 > 3
      {1, 1, 4, 4, true},    // 4 == 4
      {1, 1, 1, 1, true},    // 1 == 1
      {12, 9, 20, 30, true}, // 180 < 360
      {9, 12, 30, 20, false} // 360 > 180
  };
  std::mt19937_64 gen(31);
  for (const Case& t : cases) {
    SCOPED_TRACE(testing::Message() << "rows " << t.rows << " cols " << t.cols << " Ky " << t.ky
                                    << " Kx " << t.kx);
    const Matrix dy = randomMatrix(t.rows, t.ky, gen);
    const Matrix dx = randomMatrix(t.cols, t.kx, gen);
    const Matrix f = randomMatrix(t.rows, t.cols, gen);
    const Scores exact = directScores(dy, dx, f);

    GemmRecorder recorder;
    const Selection s = select(dy, dx, f);
    ASSERT_EQ(recorder.calls.size(), 2u);
    const GemmCall& first = recorder.calls[0];
    const GemmCall& second = recorder.calls[1];
    if (t.yFirst) {
      EXPECT_EQ(first.transa, 'T');
      EXPECT_EQ(first.m, t.ky);
      EXPECT_EQ(first.n, t.cols);
      EXPECT_EQ(first.k, t.rows);
    } else {
      EXPECT_EQ(first.transa, 'N');
      EXPECT_EQ(first.m, t.rows);
      EXPECT_EQ(first.n, t.kx);
      EXPECT_EQ(first.k, t.cols);
    }
    for (const GemmCall& call : recorder.calls) {
      EXPECT_EQ(call.alpha, 1.0);
      EXPECT_EQ(call.beta, 0.0);
      EXPECT_EQ(call.transb, 'N');
    }
    ASSERT_EQ(second.m, t.ky);
    ASSERT_EQ(second.n, t.kx);
    ASSERT_EQ(second.ldc, t.ky);

    // The whole table, and the choice made from it.
    std::int32_t argmax = 0;
    for (std::int32_t j = 0; j < t.kx; ++j)
      for (std::int32_t i = 0; i < t.ky; ++i) {
        const std::int32_t pos = i + t.ky * j;
        EXPECT_NEAR(second.c[std::size_t(pos)], exact.value.at(i, j), 1e-12 * exact.scale.at(i, j));
        if (std::fabs(exact.value.data[std::size_t(pos)]) >
            std::fabs(exact.value.data[std::size_t(argmax)]))
          argmax = pos;
      }
    EXPECT_EQ(s.linearIndex, argmax);
    EXPECT_EQ(s.yIndex, argmax % t.ky);
    EXPECT_EQ(s.xIndex, argmax / t.ky);
    EXPECT_NEAR(s.bestValue, std::fabs(exact.value.data[std::size_t(argmax)]),
                1e-12 * exact.scale.data[std::size_t(argmax)]);
    if (t.ky == 1) {
      EXPECT_EQ(s.xIndex, s.linearIndex);
    }
    if (t.kx == 1) {
      EXPECT_EQ(s.yIndex, s.linearIndex);
    }
  }
}

// With identity dictionaries (padded by zero rows) P is F's leading Ky x Kx part
// exactly, so ties can be placed at will. Both orders are covered: Dy padded makes
// rows > Ky (Y-first), Dx padded makes cols > Kx (X-first).
TEST(SelectSeparableAtom, TiesGoToTheLowestLinearIndexAndSignIsDropped) {
  struct Layout {
    std::int32_t rows, cols, ky, kx;
  };
  const Layout layouts[] = {{5, 4, 3, 4}, {3, 6, 3, 4}, {3, 4, 3, 4}};
  for (const Layout& l : layouts) {
    SCOPED_TRACE(testing::Message() << "rows " << l.rows << " cols " << l.cols);
    const Matrix dy = paddedIdentity(l.rows, l.ky);
    const Matrix dx = paddedIdentity(l.cols, l.kx);
    Matrix f(l.rows, l.cols, 0.5);
    // Larger values outside the scored part must not matter.
    if (l.rows > l.ky) f.at(l.rows - 1, 0) = 100.0;
    if (l.cols > l.kx) f.at(0, l.cols - 1) = 100.0;

    f.at(2, 1) = -4.0;  // linear index 2 + 3 * 1 = 5
    f.at(1, 2) = 4.0;   // 7
    f.at(0, 3) = -4.0;  // 9
    Selection s = select(dy, dx, f);
    EXPECT_EQ(s.linearIndex, 5);
    EXPECT_EQ(s.yIndex, 2);
    EXPECT_EQ(s.xIndex, 1);
    EXPECT_EQ(s.bestValue, 4.0);

    // Same column: the smaller yIndex wins, positive after negative.
    f.at(0, 1) = 4.0;  // 3
    s = select(dy, dx, f);
    EXPECT_EQ(s.linearIndex, 3);
    EXPECT_EQ(s.yIndex, 0);
    EXPECT_EQ(s.xIndex, 1);

    // A strictly larger negative value wins over earlier ties.
    f.at(2, 3) = -4.5;  // 11
    s = select(dy, dx, f);
    EXPECT_EQ(s.linearIndex, 11);
    EXPECT_EQ(s.yIndex, 2);
    EXPECT_EQ(s.xIndex, 3);
    EXPECT_EQ(s.bestValue, 4.5);
  }
}

TEST(SelectSeparableAtom, ZeroBlockChoosesTheFirstAtom) {
  std::mt19937_64 gen(32);
  const Matrix dy = randomMatrix(6, 9, gen);
  const Matrix dx = randomMatrix(5, 7, gen);
  const Selection s = select(dy, dx, Matrix(6, 5));
  EXPECT_EQ(s.bestValue, 0.0);
  EXPECT_EQ(s.linearIndex, 0);
  EXPECT_EQ(s.yIndex, 0);
  EXPECT_EQ(s.xIndex, 0);
}

// xIndex = linearIndex div Ky, yIndex = linearIndex mod Ky for the whole 32-bit
// range, in particular where a double quotient lies closest to an integer.
TEST(SplitAtomIndex, MatchesIntegerDivision) {
  const std::int32_t maxIndex = std::numeric_limits<std::int32_t>::max();
  const std::int32_t kys[] = {1, 2, 3, 7, 10, 255, 256, 1000, 46340, 46341, 65535, 65536,
                              65537, 1 << 30, maxIndex - 1, maxIndex};
  auto check = [](std::int32_t index, std::int32_t ky) {
    std::int32_t y = -1, x = -1;
    splitAtomIndex(index, ky, /*Kx, not used=*/maxIndex, &y, &x);
    ASSERT_EQ(x, index / ky) << "index " << index << " Ky " << ky;
    ASSERT_EQ(y, index % ky) << "index " << index << " Ky " << ky;
  };
  for (std::int32_t ky : kys) {
    for (std::int32_t d = 0; d < 2000; ++d) {
      check(d, ky);
      check(maxIndex - d, ky);
    }
    // Around every multiple of Ky near the top of the range.
    for (std::int32_t q = maxIndex / ky, n = 0; q > 0 && n < 200; --q, ++n) {
      const std::int64_t base = std::int64_t(q) * ky;
      for (std::int64_t d = -1; d <= 1; ++d)
        if (base + d >= 0 && base + d <= maxIndex) check(std::int32_t(base + d), ky);
    }
  }
  std::mt19937_64 gen(33);
  std::uniform_int_distribution<std::int32_t> anyIndex(0, maxIndex);
  std::uniform_int_distribution<std::int32_t> anyKy(1, maxIndex);
  for (int n = 0; n < 200000; ++n) check(anyIndex(gen), n % 2 ? anyKy(gen) : 1 + anyKy(gen) % 5000);
}

TEST(SynthesizeSeparableAtom, ElementsAreProductsOfTheTwoAtoms) {
  std::mt19937_64 gen(34);
  const std::int32_t shapes[][2] = {{1, 1}, {1, 6}, {7, 1}, {5, 8}, {16, 16}};
  for (const auto& shape : shapes) {
    const std::int32_t rows = shape[0], cols = shape[1];
    SCOPED_TRACE(testing::Message() << rows << " x " << cols);
    const Matrix dy = randomMatrix(rows, 3, gen);
    const Matrix dx = randomMatrix(cols, 4, gen);
    const Matrix dyCopy = dy, dxCopy = dx;
    // NaN everywhere, so an element left unwritten shows; one spare element
    // past the block must stay.
    std::vector<double> atom(std::size_t(rows) * cols + 1,
                             std::numeric_limits<double>::quiet_NaN());
    atom.back() = 7.0;
    synthesizeSeparableAtom(dx.column(2), dy.column(1), cols, rows, atom.data());
    // One rounded multiplication per element, as in the direct product.
    for (std::int32_t c = 0; c < cols; ++c)
      for (std::int32_t r = 0; r < rows; ++r)
        ASSERT_DOUBLE_EQ(atom[std::size_t(r) + std::size_t(rows) * c], dy.at(r, 1) * dx.at(c, 2));
    EXPECT_EQ(atom.back(), 7.0);
    EXPECT_EQ(dy.data, dyCopy.data);
    EXPECT_EQ(dx.data, dxCopy.data);

    const std::vector<double> zeros(std::size_t(cols), 0.0), ones(std::size_t(cols), 1.0);
    synthesizeSeparableAtom(zeros.data(), dy.column(0), cols, rows, atom.data());
    for (std::size_t i = 0; i + 1 < atom.size(); ++i) ASSERT_EQ(atom[i], 0.0);
    synthesizeSeparableAtom(ones.data(), dy.column(0), cols, rows, atom.data());
    for (std::int32_t c = 0; c < cols; ++c)
      ASSERT_EQ(0, std::memcmp(&atom[std::size_t(rows) * c], dy.column(0), sizeof(double) * rows));
  }
}

// The chosen atom laid out as a block has inner product +-bestValue with the
// block it was chosen for. Tolerance 1e-12 relative to sum |atom_rc F_rc|.
TEST(SynthesizeSeparableAtom, InnerProductWithTheBlockIsTheScore) {
  std::mt19937_64 gen(35);
  const std::int32_t cases[][4] = {{8, 8, 12, 12}, {6, 10, 4, 15}, {10, 6, 15, 4}, {1, 1, 3, 2}};
  for (const auto& t : cases) {
    const std::int32_t rows = t[0], cols = t[1], ky = t[2], kx = t[3];
    const Matrix dy = randomMatrix(rows, ky, gen);
    const Matrix dx = randomMatrix(cols, kx, gen);
    const Matrix f = randomMatrix(rows, cols, gen);
    const Selection s = select(dy, dx, f);
    std::vector<double> atom(std::size_t(rows) * cols);
    synthesizeSeparableAtom(dx.column(s.xIndex), dy.column(s.yIndex), cols, rows, atom.data());
    double inner = 0.0, scale = 0.0;
    for (std::size_t i = 0; i < atom.size(); ++i) {
      inner += atom[i] * f.data[i];
      scale += std::fabs(atom[i] * f.data[i]);
    }
    EXPECT_NEAR(std::fabs(inner), s.bestValue, 1e-12 * scale) << rows << " x " << cols;
  }
}
