// Growth of a block's orthonormal set (projectOutBasis, reorthogonalize) and of
// its dual set (updateBiorthogonalSet), singly, and through the pursuit's own
// step for a block (addAtom, finishBlock) that uses them for every new atom; and
// the fused route's kernels (fused_basis.h) on every instruction set there is,
// against the BLAS route.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "aligned_doubles.h"
#include "biorthogonal.h"
#include "basis_route.h"
#include "blas.h"
#include "block_steps.h"
#include "column_matrix.h"
#include "orthogonalize.h"
#include "tilevista/block_basis.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();


// A^T B by plain loops.
Matrix transposeTimes(const Matrix& a, const Matrix& b) {
  Matrix c(a.cols, b.cols);
  for (std::int32_t i = 0; i < a.cols; ++i)
    for (std::int32_t j = 0; j < b.cols; ++j)
      for (std::int32_t r = 0; r < a.rows; ++r) c.at(i, j) += a.at(r, i) * b.at(r, j);
  return c;
}

// A B by plain loops.
Matrix times(const Matrix& a, const Matrix& b) {
  Matrix c(a.rows, b.cols);
  for (std::int32_t j = 0; j < b.cols; ++j)
    for (std::int32_t l = 0; l < a.cols; ++l)
      for (std::int32_t i = 0; i < a.rows; ++i) c.at(i, j) += a.at(i, l) * b.at(l, j);
  return c;
}

double maxAbsDifference(const Matrix& a, const Matrix& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.data.size(); ++i)
    worst = std::fmax(worst, std::fabs(a.data[i] - b.data[i]));
  return worst;
}

double maxAbsFromIdentity(const Matrix& a) {
  Matrix identity(a.rows, a.cols);
  for (std::int32_t i = 0; i < a.rows && i < a.cols; ++i) identity.at(i, i) = 1.0;
  return maxAbsDifference(a, identity);
}

double maxAbs(const Matrix& a) {
  double worst = 0.0;
  for (double v : a.data) worst = std::fmax(worst, std::fabs(v));
  return worst;
}

bool sameBits(const double* a, const double* b, std::size_t n) {
  return std::memcmp(a, b, n * sizeof(double)) == 0;
}

double norm(const double* x, std::int32_t n) {
  const blas_int len = n;
  const blas_int inc = 1;
  return dnrm2(&len, x, &inc);
}

// One block as the pursuit holds it, grown by the pursuit's own step
// (block_steps.h) with atoms given by their dictionary indices.
class ModuleBlock {
 public:
  /// Dy: rows x Ky, Dx: cols x Kx, f: the block, rows x cols column-major;
  /// basis: the fused kernels, or null for the BLAS route.
  ModuleBlock(const Matrix& Dy, const Matrix& Dx, const std::vector<double>& f,
              const FusedBasis* basis = nullptr) {
    setup_.basis = basis;
    setup_.rows = Dy.rows;
    setup_.cols = Dx.rows;
    setup_.Ky = Dy.cols;
    setup_.Kx = Dx.cols;
    setup_.N = setup_.rows * setup_.cols;
    setup_.cap = std::min(setup_.Ky * setup_.Kx, setup_.N);
    const std::size_t dy = Dy.data.size(), N = static_cast<std::size_t>(setup_.N);
    dictionaries_.allocate(alignedLength(dy) + Dx.data.size());
    std::memcpy(dictionaries_.get(), Dy.data.data(), dy * sizeof(double));
    std::memcpy(dictionaries_.get() + alignedLength(dy), Dx.data.data(),
                Dx.data.size() * sizeof(double));
    setup_.Dy = dictionaries_.get();
    setup_.Dx = dictionaries_.get() + alignedLength(dy);
    values_.allocate(2 * alignedLength(N));
    data_ = BlockData{values_.get(), values_.get() + alignedLength(N), &storage_};
    atom_.allocate(N);
    startBlock(setup_, data_, f.data(), &state_);
  }

  /// Adds atom (i, j) as the pursuit adds it; false when refused.
  bool add(std::int32_t i, std::int32_t j) {
    state_.yIndex = i;
    state_.xIndex = j;
    AtomRecord record;
    return addAtom(setup_, data_, atom_.get(), &state_, &record);
  }

  std::int32_t atoms() const { return state_.count; }
  std::vector<double> residual() const { return std::vector<double>(data_.R, data_.R + setup_.N); }
  double energy() const { return state_.energy; }
  /// Column k of the orthonormal set and its norm before scaling.
  std::vector<double> ortho(std::int32_t k) const {
    const double* u = storage_.ortho() + std::size_t(setup_.N) * std::size_t(k);
    return std::vector<double>(u, u + setup_.N);
  }
  double norm(std::int32_t k) const { return storage_.norm()[k]; }

  /// The block's results as the pursuit writes them at its end (the block's
  /// storage is then released).
  struct Results {
    Matrix approximation, dual, ortho, coefficients, basisCoefficients;
  };
  Results finish() {
    const std::int32_t m = state_.count;
    Results r{Matrix(setup_.N, 1), Matrix(setup_.N, m), Matrix(setup_.N, m), Matrix(m, 1),
              Matrix(m, 1)};
    std::vector<std::int32_t> y(static_cast<std::size_t>(m)), x(static_cast<std::size_t>(m));
    BlockOutputs out;
    out.approximation = r.approximation.data.data();
    out.yIndex = y.data();
    out.xIndex = x.data();
    out.coefficients = r.coefficients.data.data();
    out.dual = r.dual.data.data();
    out.ortho = r.ortho.data.data();
    out.basisCoefficients = r.basisCoefficients.data.data();
    BlockScratch scratch;
    scratch.atom.allocate(static_cast<std::size_t>(setup_.N));
    finishBlock(setup_, data_, m, out, true, true, &scratch);
    return r;
  }

  /// The block's coefficients in its orthonormal basis alone: every other
  /// output left null, so neither the duals nor the approximation are made
  /// (the residual is left as it is).
  std::vector<double> basisCoefficientsAlone() {
    std::vector<double> c(static_cast<std::size_t>(state_.count));
    BlockOutputs out;
    out.basisCoefficients = c.data();
    BlockScratch scratch;
    scratch.atom.allocate(static_cast<std::size_t>(setup_.N));
    finishBlock(setup_, data_, state_.count, out, false, false, &scratch);
    EXPECT_EQ(scratch.duals.size(), 0u) << "dual vectors were built";
    return c;
  }

 private:
  PursuitSetup setup_;
  AlignedDoubles dictionaries_, values_, atom_;
  BlockStorage storage_;
  BlockData data_{};
  BlockState state_;
};

// The atoms of a block as columns, (i, j) in order.
Matrix separableAtoms(const Matrix& Dy, const Matrix& Dx,
                      const std::vector<std::pair<std::int32_t, std::int32_t>>& atoms) {
  Matrix A(Dy.rows * Dx.rows, static_cast<std::int32_t>(atoms.size()));
  for (std::size_t k = 0; k < atoms.size(); ++k)
    for (std::int32_t c = 0; c < Dx.rows; ++c)
      for (std::int32_t r = 0; r < Dy.rows; ++r)
        A.at(r + Dy.rows * c, static_cast<std::int32_t>(k)) =
            Dy.at(r, atoms[k].first) * Dx.at(c, atoms[k].second);
  return A;
}

}  // namespace

// Two atoms in the plane: a0 = (2, 0), a1 = (1, 2). Every intermediate is exact
// in binary, so most checks are exact.
TEST(BasisGrowth, TwoAtomExample) {
  // The kernels: u0 = (1, 0); s0 = u0 . a1 = 1 leaves (0, 2); both
  // re-orthogonalisation passes find s0 = 0.
  Matrix U(2, 2), B(2, 2);
  const std::vector<double> a0 = {2.0, 0.0}, a1 = {1.0, 2.0};
  U.at(0, 0) = 1.0;
  updateBiorthogonalSet(B.data.data(), a0.data(), U.column(0), 2.0, 2, 0);
  EXPECT_EQ(B.columnCopy(0), (std::vector<double>{0.5, 0.0}));
  EXPECT_EQ(B.columnCopy(1), (std::vector<double>{0.0, 0.0}));
  projectOutBasis(U.data.data(), a1.data(), 2, 1);
  EXPECT_EQ(U.columnCopy(1), (std::vector<double>{0.0, 2.0}));
  reorthogonalize(U.data.data(), 2, 1, 2);
  EXPECT_EQ(U.columnCopy(1), (std::vector<double>{0.0, 2.0}));

  // The pursuit's step, with a0 and a1 as the atoms of Dy = [a0 a1], Dx = [1],
  // on the block f = (3, 5): 0.25 a0 + 2.5 a1 = f.
  Matrix Dy(2, 2), Dx(1, 1, 1.0);
  Dy.data = {2.0, 0.0, 1.0, 2.0};
  ModuleBlock block(Dy, Dx, {3.0, 5.0});
  ASSERT_TRUE(block.add(0, 0));
  EXPECT_EQ(block.norm(0), 2.0);
  ASSERT_TRUE(block.add(1, 0));
  EXPECT_EQ(block.norm(1), 2.0);
  EXPECT_EQ(block.ortho(0), (std::vector<double>{1.0, 0.0}));
  EXPECT_EQ(block.ortho(1), (std::vector<double>{0.0, 1.0}));
  // u0 . f and u1 . f, alone and beside every other output.
  EXPECT_EQ(block.basisCoefficientsAlone(), (std::vector<double>{3.0, 5.0}));
  const ModuleBlock::Results r = block.finish();
  EXPECT_EQ(r.basisCoefficients.data, (std::vector<double>{3.0, 5.0}));
  EXPECT_EQ(r.dual.columnCopy(0), (std::vector<double>{0.5, -0.25}));
  EXPECT_EQ(r.dual.columnCopy(1), (std::vector<double>{0.0, 0.5}));
  EXPECT_EQ(r.coefficients.data, (std::vector<double>{0.25, 2.5}));
  EXPECT_EQ(r.approximation.data, (std::vector<double>{3.0, 5.0}));
}

TEST(ProjectOutBasis, RemovesComponentsAlongEarlierVectors) {
  // u0 = e0, u1 = e1, a = (1, 1, 1): s = (1, 1), column 2 becomes e2. The column
  // past k holds a sentinel that must survive.
  Matrix U(3, 4, kNaN);
  for (std::int32_t i = 0; i < 3; ++i) U.at(i, 0) = U.at(i, 1) = 0.0;
  U.at(0, 0) = 1.0;
  U.at(1, 1) = 1.0;
  const Matrix before = U;
  const std::vector<double> a = {1.0, 1.0, 1.0};
  projectOutBasis(U.data.data(), a.data(), 3, 2);
  EXPECT_EQ(U.columnCopy(2), (std::vector<double>{0.0, 0.0, 1.0}));
  EXPECT_EQ(a, (std::vector<double>{1.0, 1.0, 1.0}));
  EXPECT_TRUE(sameBits(U.column(0), before.column(0), 6));
  EXPECT_TRUE(sameBits(U.column(3), before.column(3), 3));
}

// Classical, not modified, Gram-Schmidt: all coefficients of a sweep come from
// the vector as it was at the start of the sweep. Against the non-orthogonal
// columns e0 and (1, 1, 0), the vector e0 has coefficients (1, 1), so one sweep
// gives e0 - e0 - (1, 1, 0) = (-1, -1, 0); a sweep that updated the vector before
// taking the second coefficient would reach (0, 0, 0).
TEST(ProjectOutBasis, CoefficientsComeFromTheUnreducedVector) {
  Matrix U(3, 3);
  U.at(0, 0) = 1.0;
  U.at(0, 1) = 1.0;
  U.at(1, 1) = 1.0;
  const std::vector<double> a = {1.0, 0.0, 0.0};
  projectOutBasis(U.data.data(), a.data(), 3, 2);
  EXPECT_EQ(U.columnCopy(2), (std::vector<double>{-1.0, -1.0, 0.0}));

  std::memcpy(U.column(2), a.data(), sizeof(double) * 3);
  reorthogonalize(U.data.data(), 3, 2, 1);
  EXPECT_EQ(U.columnCopy(2), (std::vector<double>{-1.0, -1.0, 0.0}));
}

// Column k must be a - s_0 u_0 - s_1 u_1 - ..., each product rounded, then each
// difference, in the order of j: any other order, a fused multiply-add or a
// pairwise sum changes the bits, and with them every later output. To know s
// exactly whatever the BLAS, u_j meets a in one element only (a is zero wherever
// else u_j is not), so s_j is a single product; where a is zero, column k is a
// chain of k rounded subtractions. Sizes are not multiples of any vector width.
TEST(ProjectOutBasis, SubtractsEachProjectionInTurnBitForBit) {
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (const std::int32_t N : {3, 17, 67}) {
    for (const std::int32_t k : {1, 2, 5, N - 1}) {
      if (k >= N) continue;
      // a is non-zero in its first k elements only; u_j meets it in element j.
      std::vector<double> a(std::size_t(N), 0.0);
      Matrix U(N, k + 1);
      for (std::int32_t j = 0; j < k; ++j) {
        a[std::size_t(j)] = value(gen);
        U.at(j, j) = value(gen);
        for (std::int32_t i = k; i < N; ++i) U.at(i, j) = value(gen);
      }
      std::vector<double> expected(a);
      for (std::int32_t j = 0; j < k; ++j) {
        const double s = U.at(j, j) * a[std::size_t(j)];
        for (std::int32_t i = 0; i < N; ++i) expected[std::size_t(i)] -= U.at(i, j) * s;
      }
      projectOutBasis(U.data.data(), a.data(), N, k);
      EXPECT_TRUE(sameBits(U.column(k), expected.data(), std::size_t(N)))
          << "N = " << N << ", k = " << k;
    }
  }
}

TEST(Reorthogonalize, NoPassesChangeNothing) {
  std::mt19937_64 gen(41);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Matrix U(5, 4);
  for (double& v : U.data) v = dist(gen);
  const Matrix before = U;
  reorthogonalize(U.data.data(), 5, 3, 0);
  EXPECT_TRUE(sameBits(U.data.data(), before.data.data(), U.data.size()));
  reorthogonalize(U.data.data(), 5, 3, -1);
  EXPECT_TRUE(sameBits(U.data.data(), before.data.data(), U.data.size()));
}

// First atom: u0 = a / |a|, nrm = |a|, b0 = a / |a|^2. An atom orthogonal to
// the earlier ones is not changed by the sweeps (column k before scaling is a,
// nrm = |a|), leaves the earlier dual vectors as they were, and gets b_k = a / |a|^2.
// Tolerance: a few ulps of the values involved (1e-15 relative).
TEST(BasisGrowth, FirstAtomAndAnAtomOrthogonalToTheEarlierOnes) {
  const std::int32_t N = 4;
  // The atoms a0 = (2, 1, 0, 0), a1 = (1, -3, 0, 0), a2 = (0, 0, 3, 4).
  Matrix Dy(N, 3), Dx(1, 1, 1.0);
  Dy.data = {2.0, 1.0, 0.0, 0.0, 1.0, -3.0, 0.0, 0.0, 0.0, 0.0, 3.0, 4.0};
  const std::vector<double> f = {1.0, 2.0, 3.0, 4.0};

  ModuleBlock one(Dy, Dx, f);
  ASSERT_TRUE(one.add(0, 0));
  EXPECT_DOUBLE_EQ(one.norm(0), std::sqrt(5.0));
  const ModuleBlock::Results first = one.finish();
  for (std::int32_t i = 0; i < N; ++i) {
    EXPECT_NEAR(first.ortho.at(i, 0), Dy.at(i, 0) / std::sqrt(5.0), 1e-15);
    EXPECT_NEAR(first.dual.at(i, 0), Dy.at(i, 0) / 5.0, 1e-15);
  }

  ModuleBlock two(Dy, Dx, f), three(Dy, Dx, f);
  for (ModuleBlock* block : {&two, &three}) {
    ASSERT_TRUE(block->add(0, 0));
    ASSERT_TRUE(block->add(1, 0));
  }
  ASSERT_TRUE(three.add(2, 0));
  EXPECT_DOUBLE_EQ(three.norm(2), 5.0);
  for (std::int32_t i = 0; i < N; ++i) EXPECT_NEAR(three.ortho(2)[i], Dy.at(i, 2) / 5.0, 1e-15);
  const ModuleBlock::Results before = two.finish(), after = three.finish();
  EXPECT_TRUE(sameBits(after.dual.column(0), before.dual.column(0), 2 * std::size_t(N)));
  for (std::int32_t i = 0; i < N; ++i) EXPECT_NEAR(after.dual.at(i, 2), Dy.at(i, 2) / 25.0, 1e-15);
}

TEST(RankOneUpdate, SubtractsTheOuterProduct) {
  // A - x y^T, elementwise to within one rounding of each term (1e-15 relative).
  std::mt19937_64 gen(42);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Matrix A(3, 5), x(3, 1), y(5, 1);
  for (Matrix* m : {&A, &x, &y})
    for (double& v : m->data) v = dist(gen);
  const Matrix before = A;
  rankOneUpdate(A.data.data(), x.data.data(), y.data.data(), 3, 5);
  for (std::int32_t j = 0; j < 5; ++j)
    for (std::int32_t i = 0; i < 3; ++i)
      EXPECT_NEAR(A.at(i, j), before.at(i, j) - x.at(i, 0) * y.at(j, 0), 1e-15);
}

namespace {

// A block's sets grown atom by atom by the pursuit's step: A holds the
// atoms, U and B the block's orthonormal and dual vectors as written out.
struct Grown {
  Matrix A, U, B;
};

// Sixty distinct separable atoms of a 16 x 16 block from random 16 x 24
// dictionaries, added one by one by the pursuit's step. With nearlyDependent,
// the last 8 columns of Dx are 1e-6 away from 8 others, and every fifth atom
// pairs such a column with the Y atom of the atom before, so it lies 1e-6
// away from that atom. On every step the earlier orthonormal columns must be
// left exactly as they were. A BlockBasis, the decoders' way to the same
// vectors, must give them bit for bit on the same basis route (`route`), and
// refuse an atom it holds already.
Grown growSixtyAtoms(bool nearlyDependent, std::uint64_t seed, const char* route = "blas") {
  const std::int32_t rows = 16, cols = 16, atoms = 60, K = 24, twins = 8;
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::uniform_int_distribution<std::int32_t> pickY(0, K - 1), pickX(0, K - twins - 1);
  Matrix Dy(rows, K), Dx(cols, K);
  for (double& v : Dy.data) v = dist(gen);
  for (double& v : Dx.data) v = dist(gen);
  for (std::int32_t j = K - twins; j < K; ++j)
    for (std::int32_t c = 0; c < cols; ++c) Dx.at(c, j) = Dx.at(c, j - twins) + 1e-6 * dist(gen);
  std::vector<double> f(static_cast<std::size_t>(rows * cols));
  for (double& v : f) v = dist(gen);

  // Distinct atoms only: the pursuit never adds an atom a block already holds
  // (its score against the residual is at rounding level).
  std::vector<bool> used(std::size_t(K) * K, false);
  std::vector<std::pair<std::int32_t, std::int32_t>> chosen;
  ModuleBlock block(Dy, Dx, f, chooseBasisRoute(route));
  BlockBasis rebuilt(Dy.data.data(), K, Dx.data.data(), K, rows, cols, atoms + 1, route);
  for (std::int32_t k = 0; k < atoms; ++k) {
    std::int32_t i, j;
    if (nearlyDependent && k % 5 == 4 && chosen.back().second < twins) {
      i = chosen.back().first;
      j = chosen.back().second + K - twins;
    } else {
      do {
        i = pickY(gen);
        j = pickX(gen);
      } while (used[std::size_t(i + K * j)]);
    }
    used[std::size_t(i + K * j)] = true;
    chosen.emplace_back(i, j);
    std::vector<std::vector<double>> earlier;
    for (std::int32_t c = 0; c < k; ++c) earlier.push_back(block.ortho(c));
    EXPECT_TRUE(block.add(i, j)) << "k=" << k;
    EXPECT_GT(block.norm(k), 0.0) << "k=" << k;
    EXPECT_TRUE(rebuilt.add(i, j)) << "k=" << k;
    EXPECT_TRUE(sameBits(rebuilt.vector(k), block.ortho(k).data(), std::size_t(rows * cols)))
        << "rebuilt vector " << k;
    EXPECT_EQ(rebuilt.norm(k), block.norm(k));
    for (std::int32_t c = 0; c < k; ++c) {
      EXPECT_TRUE(sameBits(block.ortho(c).data(), earlier[std::size_t(c)].data(),
                           std::size_t(rows * cols)))
          << "column " << c << " changed at k=" << k;
    }
  }
  EXPECT_FALSE(rebuilt.add(chosen[3].first, chosen[3].second));  // held already
  EXPECT_FALSE(rebuilt.add(K, 0));                                 // no such atom
  EXPECT_EQ(rebuilt.size(), atoms);
  const ModuleBlock::Results r = block.finish();
  return Grown{separableAtoms(Dy, Dx, chosen), r.ortho, r.dual};
}

// Largest |b_j . a_i - (i == j)| / (|b_j| |a_i|): biorthogonality measured
// against the size of the vectors involved, which is what rounding allows for.
double biorthogonalityError(const Matrix& B, const Matrix& A) {
  const Matrix BtA = transposeTimes(B, A);
  double worst = 0.0;
  for (std::int32_t j = 0; j < B.cols; ++j)
    for (std::int32_t i = 0; i < A.cols; ++i) {
      const double scale = norm(B.column(j), B.rows) * norm(A.column(i), A.rows);
      worst = std::fmax(worst, std::fabs(BtA.at(j, i) - (i == j ? 1.0 : 0.0)) / scale);
    }
  return worst;
}

}  // namespace

// Well-separated atoms. Identities (A = [a_0 .. a_59], U and B their 60 columns):
//   U^T U = I        (orthonormal set), max error 1e-12;
//   B^T A = I        (biorthogonality), max error 1e-10;
//   U U^T B = B      (the duals lie in span U), max error 1e-12 relative to max |B|;
//   A B^T f = U U^T f (both the orthogonal projection of f onto span A), 1e-10.
TEST(BasisGrowth, SixtyAtomsKeepTheirIdentities) {
  // The default route's vectors rebuilt by a BlockBasis too.
  growSixtyAtoms(false, 43, "");
  const Grown g = growSixtyAtoms(false, 43);
  const Matrix& U = g.U;
  const Matrix& B = g.B;
  EXPECT_LT(maxAbsFromIdentity(transposeTimes(U, U)), 1e-12);
  EXPECT_LT(maxAbsFromIdentity(transposeTimes(B, g.A)), 1e-10);
  EXPECT_LT(maxAbsDifference(times(U, transposeTimes(U, B)), B), 1e-12 * maxAbs(B));

  std::mt19937_64 gen(44);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Matrix f(g.A.rows, 1);
  for (double& v : f.data) v = dist(gen);
  const Matrix viaDuals = times(g.A, transposeTimes(B, f));
  const Matrix viaBasis = times(U, transposeTimes(U, f));
  EXPECT_LT(maxAbsDifference(viaDuals, viaBasis), 1e-10);
}

// Every fifth atom (about) within 1e-6 of the one before. The re-orthogonalisation keeps
// U^T U = I to 1e-12 all the same. The dual vectors of such pairs are large
// (|b_j| ~ 1 / nrm_j), and so is the rounding of b_j . a_i: biorthogonality is
// checked as |b_j . a_i - (i == j)| <= 1e-14 |b_j| |a_i| (about 50 eps), and
// U U^T B = B to 1e-12 relative to max |B|.
TEST(BasisGrowth, SixtyAtomsWithNearlyDependentOnes) {
  const Grown g = growSixtyAtoms(true, 45);
  const Matrix& U = g.U;
  const Matrix& B = g.B;
  EXPECT_LT(maxAbsFromIdentity(transposeTimes(U, U)), 1e-12);
  EXPECT_LT(biorthogonalityError(B, g.A), 1e-14);
  EXPECT_GT(maxAbs(B), 1e4);  // the near dependence did take effect
  EXPECT_LT(maxAbsDifference(times(U, transposeTimes(U, B)), B), 1e-12 * maxAbs(B));
}

namespace {

// The fused kernel sets this processor runs, narrowest first.
std::vector<const FusedBasis*> fusedSets() {
  std::vector<const FusedBasis*> sets;
  for (FusedSet set : {FusedSet::kGeneral, FusedSet::kAvx2, FusedSet::kAvx512})
    if (const FusedBasis* kernels = fusedBasis(set)) sets.push_back(kernels);
  return sets;
}

// The atom of largest |dy_i^T R dx_j| (the first of equal ones in column-major
// order) by plain loops, and whether it stands clear of the runner-up by more
// than rounding in the scores can blur: by 1e-10 |f|, the block's own size.
struct Choice {
  std::int32_t y = 0, x = 0;
  bool clear = false;
};
Choice chooseAtom(const Matrix& Dy, const Matrix& Dx, const std::vector<double>& R, double size) {
  Choice best;
  double top = -1.0, second = -1.0;
  for (std::int32_t j = 0; j < Dx.cols; ++j)
    for (std::int32_t i = 0; i < Dy.cols; ++i) {
      double score = 0.0;
      for (std::int32_t c = 0; c < Dx.rows; ++c)
        for (std::int32_t r = 0; r < Dy.rows; ++r)
          score += Dy.at(r, i) * R[std::size_t(r + Dy.rows * c)] * Dx.at(c, j);
      score = std::fabs(score);
      if (score > top) {
        second = top;
        top = score;
        best.y = i;
        best.x = j;
      } else if (score > second) {
        second = score;
      }
    }
  best.clear = top - second > 1e-10 * size && top > 1e-10 * size;
  return best;
}

}  // namespace

// The fused route against the BLAS route, block by block, on every fused set
// the processor runs: blocks of 1 to 256 values (odd sizes like 3 x 5 and
// 7 x 9 among them) over random dictionaries of one atom more per direction
// than the block's side, grown by the pursuit's step up to k = N atoms. Every
// atom is chosen from the BLAS block's residual and added to both blocks;
// wherever that choice stands clear of the runner-up, the fused block's
// residual must give the same. At the end, for the fused block:
//   U^T U = I to 1e-12; |b_j . a_i - (i == j)| <= 1e-12 |b_j| |a_i|;
//   R = f - U U^T f to 1e-12 |f|, and its energy = |R|^2 to 1e-12 |f|^2;
//   its residual within 1e-12 |f| of the BLAS route's.
TEST(FusedRoute, KeepsTheIdentitiesAndChoosesTheBlasRoutesAtoms) {
  const std::vector<std::pair<std::int32_t, std::int32_t>> sizes = {
      {1, 1}, {1, 3}, {2, 2}, {3, 5}, {4, 4}, {5, 5}, {2, 9}, {7, 9}, {8, 8}, {5, 13}, {11, 11},
      {16, 16}};
  for (const FusedBasis* kernels : fusedSets()) {
    for (const auto& [rows, cols] : sizes) {
      SCOPED_TRACE(std::string(kernels->route) + ", " + std::to_string(rows) + " x " +
                   std::to_string(cols));
      const std::int32_t N = rows * cols;
      std::mt19937_64 gen(std::uint64_t(1000 * rows + cols));
      std::uniform_real_distribution<double> dist(-1.0, 1.0);
      Matrix Dy(rows, rows + 1), Dx(cols, cols + 1);
      for (double& v : Dy.data) v = dist(gen);
      for (double& v : Dx.data) v = dist(gen);
      std::vector<double> f(static_cast<std::size_t>(N));
      for (double& v : f) v = dist(gen);
      const double size = norm(f.data(), N);

      ModuleBlock blas(Dy, Dx, f), fused(Dy, Dx, f, kernels);
      std::vector<std::pair<std::int32_t, std::int32_t>> chosen;
      std::int32_t compared = 0;
      while (blas.atoms() < N) {
        const Choice choice = chooseAtom(Dy, Dx, blas.residual(), size);
        if (choice.clear) {
          const Choice own = chooseAtom(Dy, Dx, fused.residual(), size);
          EXPECT_EQ(own.y * 1000 + own.x, choice.y * 1000 + choice.x) << "atom " << chosen.size();
          ++compared;
        }
        const bool tookBlas = blas.add(choice.y, choice.x);
        const bool tookFused = fused.add(choice.y, choice.x);
        if (!tookBlas || !tookFused) break;  // an atom in the span: both blocks are done
        chosen.emplace_back(choice.y, choice.x);
      }
      ASSERT_EQ(fused.atoms(), static_cast<std::int32_t>(chosen.size()));
      EXPECT_GE(compared, N / 2);
      const std::vector<double> R = fused.residual(), blasR = blas.residual();
      double energy = 0.0;
      for (double v : R) energy += v * v;
      EXPECT_NEAR(fused.energy(), energy, 1e-12 * size * size);
      const ModuleBlock::Results r = fused.finish();
      const Matrix A = separableAtoms(Dy, Dx, chosen);
      EXPECT_LT(maxAbsFromIdentity(transposeTimes(r.ortho, r.ortho)), 1e-12);
      EXPECT_LT(biorthogonalityError(r.dual, A), 1e-12);
      Matrix fm(N, 1);
      fm.data = f;
      const Matrix projection = times(r.ortho, transposeTimes(r.ortho, fm));
      for (std::int32_t i = 0; i < N; ++i) {
        EXPECT_NEAR(R[std::size_t(i)], f[std::size_t(i)] - projection.at(i, 0), 1e-12 * size);
        EXPECT_NEAR(R[std::size_t(i)], blasR[std::size_t(i)], 1e-12 * size);
      }
    }
  }
}

// The fused kernels' own rules where values are extreme: the entry chosen is
// the reference idamax's (first of equal magnitudes; NaN passed over unless
// first), on lengths that end inside a vector; norms of vectors scaled far
// towards overflow and underflow stay within 1e-15 relative of dnrm2's.
TEST(FusedRoute, ChoosesAsIdamaxAndTakesNormsOfExtremeValues) {
  auto reference = [](const std::vector<double>& x) {
    std::int32_t best = 0;
    double largest = std::fabs(x[0]);
    for (std::size_t i = 1; i < x.size(); ++i)
      if (std::fabs(x[i]) > largest) {
        largest = std::fabs(x[i]);
        best = static_cast<std::int32_t>(i);
      }
    return best;
  };
  std::mt19937_64 gen(77);
  std::uniform_int_distribution<int> small(-3, 3);
  for (const FusedBasis* kernels : fusedSets()) {
    SCOPED_TRACE(kernels->route);
    for (std::int32_t n = 1; n <= 37; ++n) {
      for (int trial = 0; trial < 20; ++trial) {
        std::vector<double> x(static_cast<std::size_t>(n));
        for (double& v : x) v = small(gen);  // many ties, negative ones too
        if (trial % 4 == 1) x[std::size_t(gen() % std::uint64_t(n))] = kNaN;
        if (trial % 4 == 2) x[0] = kNaN;
        if (trial % 4 == 3) std::fill(x.begin(), x.end(), kNaN);
        ASSERT_EQ(kernels->largestMagnitude(x.data(), n), reference(x)) << "n = " << n;
      }
    }
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (const double scale : {1e-300, 1e-160, 1.0, 1e160, 1e300}) {
      std::vector<double> x(67);
      for (double& v : x) v = scale * dist(gen);
      const double expected = norm(x.data(), 67);
      EXPECT_NEAR(kernels->norm(x.data(), 67), expected, 1e-15 * expected) << scale;
    }
  }
}
