// The driver's block choice and stop test must decide exactly as the plain linear
// scan and the plain index-order sum do; these compare them on random and
// adversarial sequences of updates. The blocks' storage, and the pool it comes
// from, which keeps one call's memory for the next by the driver's rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <new>
#include <set>

#include "block_contest.h"
#include "block_values.h"
#include "energy_total.h"
#include "memory_return.h"
#include "pooled_doubles.h"
#include "tilevista/memory_pool.h"

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

// One call of the driver's rule as the pursuit makes it: working pieces of
// the given sizes taken and given back, and an output piece of `output` bytes
// handed over (returned, still taken). Records every piece's address.
void* oneCall(const std::vector<std::size_t>& working, std::size_t output,
              std::set<void*>* addresses) {
  const CallMemory call;
  std::vector<PooledDoubles> pieces;
  for (const std::size_t bytes : working) {
    pieces.emplace_back(bytes / sizeof(double));
    addresses->insert(pieces.back().get());
  }
  void* handed = MemoryPool::shared().take(output);
  addresses->insert(handed);
  return handed;
}

// The pool keeps a call's pieces for the next call of its sizes, which reuses
// exactly them; keeps at most that call's size between calls (what it kept
// and handed over), frees what a smaller call did not reuse, gives all back on
// request, and stays usable after an allocation failed.
TEST(MemoryPool, KeepsOneCallForTheNextAndGivesBackByTheRule) {
  MemoryPool& pool = MemoryPool::shared();
  releaseKeptMemory();
  ASSERT_EQ(pool.keptBytes(), 0u);
  const std::size_t takenBefore = pool.takenBytes();
  const std::vector<std::size_t> working{4288, 4288, 6400, 1 << 20};
  const std::size_t workingBytes = 4288 * 2 + 6400 + (1 << 20), output = 3 << 20;

  std::set<void*> first, second;
  void* out1 = oneCall(working, output, &first);
  EXPECT_EQ(pool.keptBytes(), workingBytes);
  EXPECT_EQ(pool.takenBytes() - takenBefore, output);
  void* out2 = oneCall(working, output, &second);  // the first output still held
  EXPECT_EQ(pool.keptBytes(), workingBytes);
  second.erase(out2);
  first.erase(out1);
  EXPECT_EQ(second, first) << "the second call reused the first call's working pieces";
  EXPECT_EQ(first.count(out2), 0u);

  // Between calls, at most the last call's size is kept: the first output
  // comes back into it, a piece from elsewhere beyond it is freed.
  MemoryPool::shared().give(out1, output);
  EXPECT_EQ(pool.keptBytes(), workingBytes + output);
  void* stray = pool.take(8192);
  pool.give(stray, 8192);
  EXPECT_EQ(pool.keptBytes(), workingBytes + output);

  // The next call of the same sizes reuses the output too; a much smaller
  // call then leaves only its own pieces kept.
  std::set<void*> third, small;
  void* out3 = oneCall(working, output, &third);
  EXPECT_EQ(out3, out1);
  pool.give(out2, output);
  pool.give(out3, output);
  void* tiny = oneCall({4288}, 64, &small);
  EXPECT_EQ(pool.keptBytes(), 4288u);
  pool.give(tiny, 64);

  // All back on request, and pieces given back later are freed too.
  void* held = pool.take(1 << 16);
  EXPECT_EQ(releaseKeptMemory(), 4288u + 64u);
  EXPECT_EQ(pool.keptBytes(), 0u);
  pool.give(held, 1 << 16);
  EXPECT_EQ(pool.keptBytes(), 0u);
  EXPECT_EQ(pool.takenBytes(), takenBefore);

  // A piece the system cannot give: what was kept is freed to make room, the
  // allocation tried again, and the pool stays usable. (The sanitizers'
  // allocators end the process on such a request instead of failing it.)
  std::set<void*> after;
  pool.give(oneCall(working, output, &after), output);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_THROW(pool.take(std::size_t{1} << 60), std::bad_alloc);
  EXPECT_EQ(pool.keptBytes(), 0u);
#endif
  EXPECT_THROW(pool.take(static_cast<std::size_t>(-1)), std::bad_alloc);
  std::set<void*> last;
  pool.give(oneCall(working, output, &last), output);
  EXPECT_EQ(pool.keptBytes(), workingBytes + output);
  EXPECT_EQ(pool.takenBytes(), takenBefore);
  releaseKeptMemory();
}

}  // namespace

