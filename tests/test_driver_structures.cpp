// The driver's block choice and stop test must decide exactly as the plain linear
// scan and the plain index-order sum do; these compare them on random and
// adversarial sequences of updates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "block_contest.h"
#include "block_values.h"
#include "energy_total.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

int scan(const std::vector<double>& values) {
  double w = 0.0;
  int v = -1;
  for (std::size_t q = 0; q < values.size(); ++q) {
    if (values[q] > w) {
      w = values[q];
      v = static_cast<int>(q);
    }
  }
  return v;
}

double plainSum(const std::vector<double>& e) {
  double total = 0.0;
  for (double x : e) total += x;
  return total;
}

TEST(BlockContest, AgreesWithTheLinearScanThroughRandomUpdates) {
  std::mt19937 rng(7);
  // Few distinct values, so ties are common; NaN, zero and retired (-1) included.
  const double pool[] = {0.0, -1.0, kNaN, 1e-12, 0.5, 0.5, 1.0, 2.0, 2.0, 3.0};
  for (int Q : {1, 2, 3, 5, 8, 13, 64, 100}) {
    std::vector<double> values(static_cast<std::size_t>(Q));
    for (double& v : values) v = pool[rng() % 10];
    BlockContest contest(values.data(), Q);
    ASSERT_EQ(contest.winner(), scan(values)) << "Q " << Q;
    for (int step = 0; step < 2000; ++step) {
      const int q = static_cast<int>(rng() % static_cast<unsigned>(Q));
      values[static_cast<std::size_t>(q)] = pool[rng() % 10];
      contest.update(q);
      ASSERT_EQ(contest.winner(), scan(values)) << "Q " << Q << " step " << step;
    }
  }
}

TEST(BlockContest, NoBlockWhenNothingExceedsZero) {
  std::vector<double> values = {0.0, kNaN, -1.0, 0.0};
  BlockContest contest(values.data(), 4);
  EXPECT_EQ(contest.winner(), -1);
  values[3] = 1e-300;
  contest.update(3);
  EXPECT_EQ(contest.winner(), 3);
  BlockContest none(values.data(), 0);
  EXPECT_EQ(none.winner(), -1);
}

// The exact sum rounded once: exact partial sums (Shewchuk's), then the top
// ones added with the correction for a half-way case, as Python's math.fsum.
// Finite values whose sum does not overflow.
double correctlyRoundedSum(const std::vector<double>& values) {
  std::vector<double> partials;
  for (double x : values) {
    std::size_t kept = 0;
    for (std::size_t j = 0; j < partials.size(); ++j) {
      double y = partials[j];
      if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
      const double hi = x + y;
      const double lo = y - (hi - x);
      if (lo != 0.0) partials[kept++] = lo;
      x = hi;
    }
    partials.resize(kept);
    partials.push_back(x);
  }
  if (partials.empty()) return 0.0;
  std::size_t n = partials.size();
  double hi = partials[--n], lo = 0.0;
  while (n > 0) {
    const double x = hi, y = partials[--n];
    hi = x + y;
    lo = y - (hi - x);
    if (lo != 0.0) break;
  }
  if (n > 0 && ((lo < 0.0 && partials[n - 1] < 0.0) || (lo > 0.0 && partials[n - 1] > 0.0))) {
    const double y = lo * 2.0, x = hi + y;
    if (y == x - hi) hi = x;
  }
  return hi;
}

// below(tol) must equal (plain index-order sum < tol) bit for bit, including tols
// placed on, just under and just over the plain sum, where rounding decides; and
// rounded() must be the exact sum rounded once.
void expectSameDecisions(EnergyTotal& total, const std::vector<double>& e) {
  const double s = plainSum(e);
  if (std::isnan(s)) {
    EXPECT_TRUE(std::isnan(total.rounded()));
  } else if (std::find(e.begin(), e.end(), kInf) != e.end()) {
    EXPECT_EQ(total.rounded(), kInf);
  } else if (std::isfinite(s)) {
    EXPECT_EQ(total.rounded(), correctlyRoundedSum(e)) << "sum " << s;
  }
  if (std::isnan(s)) {
    ASSERT_TRUE(std::isnan(total.indexOrderSum()));
  } else {
    ASSERT_EQ(total.indexOrderSum(), s);
  }
  std::vector<double> tols = {0.0, -0.0, 1e-300, kInf, kNaN, s};
  if (std::isfinite(s)) {
    tols.push_back(std::nextafter(s, kInf));
    tols.push_back(std::nextafter(s, 0.0));
    tols.push_back(s * (1 + 1e-13));
    tols.push_back(s * (1 - 1e-13));
    tols.push_back(s * 2);
    tols.push_back(s / 2);
  }
  for (double tol : tols) EXPECT_EQ(total.below(tol), s < tol) << "tol " << tol << " sum " << s;
}

TEST(EnergyTotal, DecidesAsTheIndexOrderSumThroughRandomReplacements) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int Q : {1, 2, 7, 300}) {
    std::vector<double> e(static_cast<std::size_t>(Q));
    // Magnitudes over many decades so that rounding of the plain sum matters.
    auto draw = [&] { return std::ldexp(unit(rng), static_cast<int>(rng() % 120) - 60); };
    for (double& x : e) x = draw();
    EnergyTotal total(e.data(), Q);
    expectSameDecisions(total, e);
    for (int step = 0; step < 300; ++step) {
      const std::size_t q = rng() % static_cast<std::size_t>(Q);
      const double value = step % 50 == 49 ? 0.0 : draw();
      total.replace(static_cast<int>(q), value);
      e[q] = value;
      expectSameDecisions(total, e);
    }
  }
}

TEST(EnergyTotal, RoundsTheExactSumOnceWhereTheTopBitsAloneWouldNot) {
  // 1 + 2^-53 is a tie between 1 and 1 + 2^-52; the far smaller 2^-200
  // breaks it upwards, and only a sticky bit far below the top bits shows it.
  std::vector<double> e = {1.0, std::ldexp(1.0, -53), std::ldexp(1.0, -200)};
  EnergyTotal total(e.data(), 3);
  EXPECT_EQ(total.rounded(), 1.0 + std::ldexp(1.0, -52));
  total.replace(2, 0.0);
  e[2] = 0.0;
  EXPECT_EQ(total.rounded(), 1.0);  // the tie alone goes to even
  expectSameDecisions(total, e);
  total.replace(2, kNaN);
  e[2] = kNaN;
  EXPECT_TRUE(std::isnan(total.rounded()));
  total.replace(2, kInf);
  e[2] = kInf;
  EXPECT_EQ(total.rounded(), kInf);
}

TEST(EnergyTotal, ExtremeAndNonFiniteEnergies) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double huge = std::numeric_limits<double>::max();
  std::vector<double> e = {tiny, 3 * tiny, 1e-310, 0.0};
  EnergyTotal total(e.data(), 4);
  expectSameDecisions(total, e);

  // Values near the top of the range: the plain sum overflows to +Inf.
  total.replace(0, huge);
  e[0] = huge;
  total.replace(1, huge);
  e[1] = huge;
  expectSameDecisions(total, e);
  EXPECT_FALSE(total.below(kInf));

  // Back down: replacing is exact, nothing of the huge values is left behind.
  total.replace(0, 1.0);
  e[0] = 1.0;
  total.replace(1, 2.0);
  e[1] = 2.0;
  expectSameDecisions(total, e);
  EXPECT_TRUE(total.below(3.0 + 1e-9));

  // A NaN or +Inf energy keeps the sum from ever being below anything.
  total.replace(2, kNaN);
  e[2] = kNaN;
  expectSameDecisions(total, e);
  total.replace(2, kInf);
  e[2] = kInf;
  expectSameDecisions(total, e);
  total.replace(2, 0.5);
  e[2] = 0.5;
  expectSameDecisions(total, e);
  EXPECT_TRUE(total.below(4.0));
}

// The blocks' values in chunks: every block's input and residual on a line of
// its own and apart from every other, and letting go of the blocks written out
// leaves the others' values as they were. With small chunks, so that a chunk
// ends inside the blocks and the sanitizer builds see any use of a freed one.
TEST(BlockValues, AlignedApartAndReleasedByWholeChunks) {
  // A 16-double stride, 256 bytes a block, 7 blocks to a chunk of 1792.
  const std::int32_t Q = 23, N = 15;
  BlockValues values(Q, N, 1792);
  std::vector<double*> seen;
  for (std::int32_t q = 0; q < Q; ++q) {
    for (double* p : {values.input(q), values.residual(q)}) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u) << "block " << q;
      for (std::int32_t i = 0; i < N; ++i) p[i] = q * 100.0 + (p == values.input(q) ? i : -i);
      seen.push_back(p);
    }
  }
  std::sort(seen.begin(), seen.end());
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i] - seen[i - 1], N);
  values.releaseBelow(10);  // the first chunk (blocks 0 to 6) goes, block 7 on stays
  for (std::int32_t q = 7; q < Q; ++q) {
    for (std::int32_t i = 0; i < N; ++i) {
      ASSERT_EQ(values.input(q)[i], q * 100.0 + i) << "block " << q;
      ASSERT_EQ(values.residual(q)[i], q * 100.0 - i) << "block " << q;
    }
  }
}

}  // namespace
