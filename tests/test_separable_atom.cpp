// Atom scoring on both routes (BLAS, generated kernels), the generated kernels
// themselves, index split and atom synthesis.
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
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "blas.h"
#include "blas_threads.h"
#include "column_matrix.h"
#include "generated_gemm.h"
#include "separable_atom.h"
#include "separable_scorer.h"

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
                      f.cols, &s.bestValue, &s.yIndex, &s.xIndex);
  s.linearIndex = s.yIndex + dy.cols * s.xIndex;
  return s;
}

// True where this build generates kernels (the module's condition).
constexpr bool kKernelsBuiltIn =
#if defined(TILEVISTA_HAVE_LIBXSMM) && defined(__x86_64__) && defined(__unix__)
    true;
#else
    false;
#endif

// A selection by a scorer, with its scratch filled with NaN first (the
// products must write what they read) and, on the kernel route, the score
// table, which the scratch starts with afterwards.
Selection select(const SeparableScorer& scorer, const Matrix& f, std::vector<double>* table = nullptr) {
  std::vector<double> scratch(scorer.scratchSize() + 1, std::numeric_limits<double>::quiet_NaN());
  Selection s;
  scorer.select(f.data.data(), scratch.data(), &s.bestValue, &s.yIndex, &s.xIndex);
  if (table != nullptr) *table = scratch;
  return s;
}

// The three ways to score: the BLAS function itself and a call's scorer on
// each of its routes. Gives the linear index from the two indices.
struct Route {
  const char* name;
  std::function<Selection(const Matrix& dy, const Matrix& dx, const Matrix& f)> select;
};

Selection selectBy(bool kernels, const Matrix& dy, const Matrix& dx, const Matrix& f) {
  const SeparableScorer scorer(dy.data.data(), dx.data.data(), dy.cols, dx.cols, dy.rows, dx.rows,
                               kernels);
  Selection s = select(scorer, f);
  s.linearIndex = s.yIndex + dy.cols * s.xIndex;
  return s;
}

const Route kRoutes[] = {
    {"selectSeparableAtom", [](const Matrix& dy, const Matrix& dx, const Matrix& f) {
       return select(dy, dx, f);
     }},
    {"scorer, BLAS route", [](const Matrix& dy, const Matrix& dx, const Matrix& f) {
       return selectBy(false, dy, dx, f);
     }},
    {"scorer, kernel route", [](const Matrix& dy, const Matrix& dx, const Matrix& f) {
       return selectBy(true, dy, dx, f);
     }},
};

// Product-order cases: the order with the smaller intermediate is taken,
// Y-first (T = Dy^T F, Ky x cols) when Ky*cols <= Kx*rows, X-first (T = F Dx,
// rows x Kx) otherwise.
struct OrderCase {
  std::int32_t rows, cols, ky, kx;
  bool yFirst;
};
const OrderCase kOrderCases[] = {
    {5, 7, 3, 9, true},     // 21 < 45
    {7, 5, 9, 3, false},    // 45 > 21
    {4, 6, 2, 3, true},     // 12 == 12: ties go Y-first
    {4, 6, 6, 4, false},    // 36 > 16
    {6, 4, 1, 5, true},     // Ky = 1: 4 < 30
    {1, 8, 1, 3, false},    // Ky = 1: 8 > 3
    {8, 2, 3, 1, true},     // Kx = 1: 6 < 8
    {3, 5, 4, 1, false},    // Kx = 1: 20 > 3
    {1, 1, 3, 5, true},     // single number: 3 < 5
    {1, 1, 5, 3, false},    // 5 > 3
    {1, 1, 4, 4, true},     // 4 == 4
    {1, 1, 1, 1, true},     // 1 == 1
    {12, 9, 20, 30, true},  // 180 < 360
    {9, 12, 30, 20, false}, // 360 > 180
    {8, 8, 16, 16, true},   // the usual sizes
    {16, 16, 32, 32, true},
};

testing::Message describe(const OrderCase& t) {
  return testing::Message() << "rows " << t.rows << " cols " << t.cols << " Ky " << t.ky
                            << " Kx " << t.kx;
}

// Random dictionaries and block of a case's sizes, and their exact table.
struct OrderProblem {
  Matrix dy, dx, f;
  Scores exact;
  OrderProblem(const OrderCase& t, std::mt19937_64& gen)
      : dy(randomMatrix(t.rows, t.ky, gen)),
        dx(randomMatrix(t.cols, t.kx, gen)),
        f(randomMatrix(t.rows, t.cols, gen)),
        exact(directScores(dy, dx, f)) {}

  // Checks a Ky x Kx table against the exact one, entry by entry within 1e-12
  // times the sum of the absolute terms; returns the exact table's argmax.
  std::int32_t checkTable(const double* table) const {
    const std::int32_t ky = dy.cols, kx = dx.cols;
    std::int32_t argmax = 0;
    for (std::int32_t j = 0; j < kx; ++j)
      for (std::int32_t i = 0; i < ky; ++i) {
        const std::int32_t pos = i + ky * j;
        EXPECT_NEAR(table[pos], exact.value.at(i, j), 1e-12 * exact.scale.at(i, j));
        if (std::fabs(exact.value.data[std::size_t(pos)]) >
            std::fabs(exact.value.data[std::size_t(argmax)]))
          argmax = pos;
      }
    return argmax;
  }
};

}  // namespace

// Both product orders against the triple loop. Tolerance: |P - exact| <= 1e-12
// times the sum of the absolute terms of the entry.
TEST(SelectSeparableAtom, BothProductOrdersMatchTheDirectSum) {
  std::mt19937_64 gen(31);
  for (const OrderCase& t : kOrderCases) {
    SCOPED_TRACE(describe(t));
    const OrderProblem p(t, gen);
    const Scores& exact = p.exact;
    GemmRecorder recorder;
    const Selection s = select(p.dy, p.dx, p.f);
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
    const std::int32_t argmax = p.checkTable(second.c.data());
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
// exactly, whatever the order of the sums, so ties can be placed at will. Both
// orders are covered: Dy padded makes rows > Ky (Y-first), Dx padded makes
// cols > Kx (X-first). Every route keeps idamax's tie-break.
TEST(SelectSeparableAtom, TiesGoToTheLowestLinearIndexAndSignIsDropped) {
  struct Layout {
    std::int32_t rows, cols, ky, kx;
  };
  const Layout layouts[] = {{5, 4, 3, 4}, {3, 6, 3, 4}, {3, 4, 3, 4}};
  for (const Route& route : kRoutes)
  for (const Layout& l : layouts) {
    SCOPED_TRACE(testing::Message() << route.name << ", rows " << l.rows << " cols " << l.cols);
    const auto select = [&](const Matrix& dy, const Matrix& dx, const Matrix& f) {
      return route.select(dy, dx, f);
    };
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
  for (const Route& route : kRoutes) {
    const Selection s = route.select(dy, dx, Matrix(6, 5));
    EXPECT_EQ(s.bestValue, 0.0) << route.name;
    EXPECT_EQ(s.linearIndex, 0) << route.name;
    EXPECT_EQ(s.yIndex, 0) << route.name;
    EXPECT_EQ(s.xIndex, 0) << route.name;
  }
}

// The kernel route, where this build has it, against the triple loop in both
// product orders (same tolerance as the BLAS route), with no dgemm call; the
// score table is the one the choice was made from.
TEST(SeparableScorer, KernelRouteMatchesTheDirectSumInBothOrders) {
  std::mt19937_64 gen(36);
  for (const OrderCase& t : kOrderCases) {
    SCOPED_TRACE(describe(t));
    const OrderProblem p(t, gen);
    const SeparableScorer scorer(p.dy.data.data(), p.dx.data.data(), t.ky, t.kx, t.rows, t.cols);
    ASSERT_EQ(scorer.usesKernels(), kKernelsBuiltIn);
    if (!scorer.usesKernels()) continue;
    EXPECT_EQ(std::string(scorer.route()).rfind("libxsmm-", 0), 0u) << scorer.route();
    EXPECT_FALSE(scorer.contends());

    GemmRecorder recorder;
    std::vector<double> table;
    const Selection s = select(scorer, p.f, &table);
    EXPECT_TRUE(recorder.calls.empty());
    const std::int32_t argmax = p.checkTable(table.data());
    EXPECT_EQ(s.yIndex, argmax % t.ky);
    EXPECT_EQ(s.xIndex, argmax / t.ky);
    EXPECT_EQ(s.bestValue, std::fabs(table[std::size_t(argmax)]));
  }
}

// NaN and infinities reach the table alike on both routes (an infinite or NaN
// entry does not depend on the order of the sums), so both choose the same
// pair: the first infinite entry, or the first pair when NaN is everywhere.
TEST(SeparableScorer, SpecialValuesChooseAsTheBlasRouteDoes) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937_64 gen(37);
  for (const OrderCase& t : {kOrderCases[0], kOrderCases[1], kOrderCases[14]}) {
    const Matrix dy = randomMatrix(t.rows, t.ky, gen);
    const Matrix dx = randomMatrix(t.cols, t.kx, gen);
    struct Special {
      const char* name;
      std::function<void(Matrix&)> place;
    };
    const Special specials[] = {
        {"+Inf", [&](Matrix& f) { f.at(t.rows - 1, t.cols / 2) = inf; }},
        {"-Inf", [&](Matrix& f) { f.at(0, t.cols - 1) = -inf; }},
        {"+Inf and -Inf", [&](Matrix& f) { f.at(0, 0) = inf; f.at(t.rows - 1, t.cols - 1) = -inf; }},
        {"NaN", [&](Matrix& f) { f.at(t.rows / 2, 0) = nan; }},
        {"NaN and +Inf", [&](Matrix& f) { f.at(0, 0) = nan; f.at(t.rows - 1, 0) = inf; }},
        {"huge", [&](Matrix& f) { f.at(0, 0) = 1e300; }},
    };
    for (const Special& special : specials) {
      SCOPED_TRACE(describe(t) << ", " << special.name);
      Matrix f = randomMatrix(t.rows, t.cols, gen);
      special.place(f);
      const Selection blas = selectBy(false, dy, dx, f), kernels = selectBy(true, dy, dx, f);
      EXPECT_EQ(kernels.yIndex, blas.yIndex);
      EXPECT_EQ(kernels.xIndex, blas.xIndex);
      if (std::isinf(blas.bestValue) || std::isnan(blas.bestValue)) {
        EXPECT_EQ(std::isnan(kernels.bestValue), std::isnan(blas.bestValue));
        if (!std::isnan(blas.bestValue)) {
          EXPECT_EQ(kernels.bestValue, blas.bestValue);
        }
      } else {
        EXPECT_NEAR(kernels.bestValue, blas.bestValue, 1e-12 * blas.bestValue);
      }
    }
  }
}

// One scorer, blocks and scratch at any address and any number of threads at
// once: the same table and choice, bit for bit.
TEST(SeparableScorer, SameBitsWhereverTheOperandsLieAndOnAnyThread) {
  std::mt19937_64 gen(38);
  for (const OrderCase& t : {kOrderCases[14], kOrderCases[1], kOrderCases[15]}) {
    SCOPED_TRACE(describe(t));
    const Matrix dy = randomMatrix(t.rows, t.ky, gen);
    const Matrix dx = randomMatrix(t.cols, t.kx, gen);
    const SeparableScorer scorer(dy.data.data(), dx.data.data(), t.ky, t.kx, t.rows, t.cols);
    const std::size_t n = std::size_t(t.rows) * std::size_t(t.cols);
    const std::size_t tableSize = std::size_t(t.ky) * std::size_t(t.kx);
    std::vector<Matrix> blocks;
    for (int b = 0; b < 64; ++b) blocks.push_back(randomMatrix(t.rows, t.cols, gen));

    // Scores block b with the block at `shift` doubles past an aligned
    // address and the scratch at `scratchShift`; the table and the choice.
    auto scoreAt = [&](std::size_t b, std::size_t shift, std::size_t scratchShift) {
      AlignedDoubles place(n + 8), scratch(scorer.scratchSize() + 8);
      std::copy(blocks[b].data.begin(), blocks[b].data.end(), place.get() + shift);
      double* work = scratch.get() + scratchShift;
      std::fill(work, work + scorer.scratchSize(), std::numeric_limits<double>::quiet_NaN());
      Selection s;
      scorer.select(place.get() + shift, work, &s.bestValue, &s.yIndex, &s.xIndex);
      std::vector<double> result(work, work + (scorer.usesKernels() ? tableSize : 0));
      result.push_back(s.bestValue);
      result.push_back(s.yIndex);
      result.push_back(s.xIndex);
      return result;
    };
    std::vector<std::vector<double>> first;
    for (std::size_t b = 0; b < blocks.size(); ++b) first.push_back(scoreAt(b, 0, 0));
    for (std::size_t b = 0; b < blocks.size(); ++b)
      for (std::size_t shift : {1, 3, 7})
        ASSERT_EQ(0, std::memcmp(first[b].data(), scoreAt(b, shift, shift / 2 + 1).data(),
                                 first[b].size() * sizeof(double)))
            << "block " << b << ", shifted by " << shift;

    std::vector<std::vector<std::vector<double>>> byThread(3);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < byThread.size(); ++k)
      threads.emplace_back([&, k] {
        for (int round = 0; round < 20; ++round)
          for (std::size_t b = 0; b < blocks.size(); ++b) {
            std::vector<double> r = scoreAt(b, k, k);
            if (round == 0) byThread[k].push_back(std::move(r));
          }
      });
    for (std::thread& thread : threads) thread.join();
    for (const auto& results : byThread)
      for (std::size_t b = 0; b < blocks.size(); ++b)
        EXPECT_EQ(0, std::memcmp(first[b].data(), results[b].data(), first[b].size() * sizeof(double)))
            << "block " << b;
  }
}

// The BLAS route when asked for, and for products too large for kernels: the
// BLAS function's bits, two dgemm calls, and the gate where gemm contends.
TEST(SeparableScorer, TakesTheBlasRouteWhenAskedOrForLargeProducts) {
  std::mt19937_64 gen(39);
  struct Case {
    std::int32_t rows, cols, ky, kx;
    bool kernels;
  };
  // 64 x 64 blocks against 128 + 128 atoms: a 128 x 64 x 64 product.
  for (const Case& t : {Case{8, 8, 16, 16, false}, Case{64, 64, 128, 128, true}}) {
    SCOPED_TRACE(testing::Message() << t.rows << " x " << t.cols << ", kernels " << t.kernels);
    const Matrix dy = randomMatrix(t.rows, t.ky, gen);
    const Matrix dx = randomMatrix(t.cols, t.kx, gen);
    const Matrix f = randomMatrix(t.rows, t.cols, gen);
    const SeparableScorer scorer(dy.data.data(), dx.data.data(), t.ky, t.kx, t.rows, t.cols,
                                 t.kernels);
    EXPECT_FALSE(scorer.usesKernels());
    EXPECT_STREQ(scorer.route(), "blas");
    EXPECT_EQ(scorer.scratchSize(), 0u);
    EXPECT_EQ(scorer.contends(), blasGemmContends());
    GemmRecorder recorder;
    const Selection s = select(scorer, f);
    EXPECT_EQ(recorder.calls.size(), 2u);
    const Selection reference = select(dy, dx, f);
    EXPECT_EQ(s.yIndex, reference.yIndex);
    EXPECT_EQ(s.xIndex, reference.xIndex);
    EXPECT_EQ(0, std::memcmp(&s.bestValue, &reference.bestValue, sizeof(double)));
  }
}

// A generated kernel writes C's m x n part and nothing around it, and does
// not read it; shapes it cannot take give no kernel.
TEST(GeneratedGemm, WritesOnlyTheProductAndRefusesWhatItCannotDo) {
  if (!kKernelsBuiltIn) GTEST_SKIP() << "this build generates no kernels";
  std::mt19937_64 gen(40);
  struct Shape {
    std::int32_t m, n, k, lda, ldb, ldc;
  };
  const Shape shapes[] = {{16, 8, 8, 16, 8, 16},  {16, 16, 8, 16, 8, 16}, {1, 1, 1, 1, 1, 1},
                          {3, 7, 5, 4, 9, 6},     {17, 3, 30, 20, 31, 19}, {64, 64, 64, 64, 64, 64},
                          {2, 50, 3, 2, 3, 5}};
  for (const Shape& t : shapes) {
    SCOPED_TRACE(testing::Message() << t.m << " x " << t.n << " x " << t.k);
    Matrix a(t.lda, t.k), b(t.ldb, t.n);
    for (double& v : a.data) v = std::uniform_real_distribution<double>(-1, 1)(gen);
    for (double& v : b.data) v = std::uniform_real_distribution<double>(-1, 1)(gen);
    GeneratedGemm kernel = GeneratedGemm::generate(t.m, t.n, t.k, t.lda, t.ldb, t.ldc);
    ASSERT_TRUE(kernel);
    // Moving hands the kernel over.
    GeneratedGemm moved(std::move(kernel));
    EXPECT_FALSE(kernel);
    ASSERT_TRUE(moved);
    Matrix c(t.ldc, t.n, std::numeric_limits<double>::quiet_NaN());
    for (std::int32_t j = 0; j < t.n; ++j)
      for (std::int32_t i = t.m; i < t.ldc; ++i) c.at(i, j) = -7.5;
    moved(a.data.data(), b.data.data(), c.data.data());
    for (std::int32_t j = 0; j < t.n; ++j) {
      for (std::int32_t i = 0; i < t.m; ++i) {
        double sum = 0.0, scale = 0.0;
        for (std::int32_t p = 0; p < t.k; ++p) {
          sum += a.at(i, p) * b.at(p, j);
          scale += std::fabs(a.at(i, p) * b.at(p, j));
        }
        ASSERT_NEAR(c.at(i, j), sum, 1e-14 * scale + 1e-300) << i << ", " << j;
      }
      for (std::int32_t i = t.m; i < t.ldc; ++i) ASSERT_EQ(c.at(i, j), -7.5) << i << ", " << j;
    }
  }
  EXPECT_FALSE(GeneratedGemm::generate(0, 4, 4, 4, 4, 4));
  EXPECT_FALSE(GeneratedGemm::generate(4, 4, 4, 3, 4, 4));  // lda < m
  EXPECT_FALSE(GeneratedGemm::generate(4, 4, 4, 4, 3, 4));  // ldb < k
  EXPECT_FALSE(GeneratedGemm::generate(4, 4, 4, 4, 4, 3));  // ldc < m
  EXPECT_FALSE(GeneratedGemm::generate(65, 64, 64, 65, 64, 65));  // not small
  EXPECT_NE(GeneratedGemm::kernelSet(), nullptr);
}

// xIndex = linearIndex div Ky, yIndex = linearIndex mod Ky for the whole 32-bit
// range, in particular where a double quotient lies closest to an integer.
TEST(SplitAtomIndex, MatchesIntegerDivision) {
  const std::int32_t maxIndex = std::numeric_limits<std::int32_t>::max();
  const std::int32_t kys[] = {1, 2, 3, 7, 10, 255, 256, 1000, 46340, 46341, 65535, 65536,
                              65537, 1 << 30, maxIndex - 1, maxIndex};
  auto check = [](std::int32_t index, std::int32_t ky) {
    std::int32_t y = -1, x = -1;
    splitAtomIndex(index, ky, &y, &x);
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
