// Growth of a block's orthonormal set (projectOutBasis, reorthogonalize) and of
// its dual set (updateBiorthogonalSet), singly and in the order the pursuit uses
// them for every new atom.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "biorthogonal.h"
#include "blas.h"
#include "orthogonalize.h"
#include "column_matrix.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();


// Columns 0..count-1 of a, as a matrix.
Matrix leadingColumns(const Matrix& a, std::int32_t count) {
  Matrix m(a.rows, count);
  std::memcpy(m.data.data(), a.data.data(), sizeof(double) * m.data.size());
  return m;
}

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

// The per-atom sequence of the pursuit: copy (first atom) or project and
// re-orthogonalise twice, normalise by multiplying with 1/nrm, extend the duals.
// Returns nrm.
double addAtom(Matrix& U, Matrix& B, const double* a, std::int32_t k) {
  const std::int32_t N = U.rows;
  double* uk = U.column(k);
  if (k == 0) {
    std::memcpy(uk, a, sizeof(double) * std::size_t(N));
  } else {
    projectOutBasis(U.data.data(), a, N, k);
    reorthogonalize(U.data.data(), N, k, 2);
  }
  const double nrm = norm(uk, N);
  const double reciprocal = 1.0 / nrm;
  const blas_int len = N;
  const blas_int inc = 1;
  dscal(&len, &reciprocal, uk, &inc);
  updateBiorthogonalSet(B.data.data(), a, uk, nrm, N, k);
  return nrm;
}

}  // namespace

// Two atoms in the plane: a0 = (2, 0), a1 = (1, 2). Every intermediate is exact
// in binary, so most checks are exact.
TEST(BasisGrowth, TwoAtomExample) {
  Matrix U(2, 2), B(2, 2);
  const std::vector<double> a0 = {2.0, 0.0}, a1 = {1.0, 2.0};

  EXPECT_DOUBLE_EQ(addAtom(U, B, a0.data(), 0), 2.0);
  EXPECT_EQ(U.columnCopy(0), (std::vector<double>{1.0, 0.0}));
  EXPECT_EQ(B.columnCopy(0), (std::vector<double>{0.5, 0.0}));
  EXPECT_EQ(U.columnCopy(1), (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(B.columnCopy(1), (std::vector<double>{0.0, 0.0}));

  // s0 = u0 . a1 = 1 leaves (0, 2); both re-orthogonalisation passes find s0 = 0.
  projectOutBasis(U.data.data(), a1.data(), 2, 1);
  EXPECT_EQ(U.columnCopy(1), (std::vector<double>{0.0, 2.0}));
  reorthogonalize(U.data.data(), 2, 1, 2);
  EXPECT_EQ(U.columnCopy(1), (std::vector<double>{0.0, 2.0}));

  Matrix U2(2, 2), B2(2, 2);
  addAtom(U2, B2, a0.data(), 0);
  EXPECT_DOUBLE_EQ(addAtom(U2, B2, a1.data(), 1), 2.0);
  EXPECT_EQ(U2.columnCopy(0), (std::vector<double>{1.0, 0.0}));
  EXPECT_EQ(U2.columnCopy(1), (std::vector<double>{0.0, 1.0}));
  EXPECT_EQ(B2.columnCopy(0), (std::vector<double>{0.5, -0.25}));
  EXPECT_EQ(B2.columnCopy(1), (std::vector<double>{0.0, 0.5}));

  // Coefficients b_j . f of f = (3, 5): 0.25 a0 + 2.5 a1 = f.
  const std::vector<double> f = {3.0, 5.0};
  const double c0 = B2.at(0, 0) * f[0] + B2.at(1, 0) * f[1];
  const double c1 = B2.at(0, 1) * f[0] + B2.at(1, 1) * f[1];
  EXPECT_EQ(c0, 0.25);
  EXPECT_EQ(c1, 2.5);
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
  Matrix U(N, 4, kNaN), B(N, 4, kNaN);
  const std::vector<double> a0 = {2.0, 1.0, 0.0, 0.0}, a1 = {1.0, -3.0, 0.0, 0.0},
                            a2 = {0.0, 0.0, 3.0, 4.0};

  EXPECT_DOUBLE_EQ(addAtom(U, B, a0.data(), 0), std::sqrt(5.0));
  for (std::int32_t i = 0; i < N; ++i) {
    EXPECT_NEAR(U.at(i, 0), a0[std::size_t(i)] / std::sqrt(5.0), 1e-15);
    EXPECT_NEAR(B.at(i, 0), a0[std::size_t(i)] / 5.0, 1e-15);
  }
  addAtom(U, B, a1.data(), 1);
  const Matrix dualsBefore = B;

  projectOutBasis(U.data.data(), a2.data(), N, 2);
  reorthogonalize(U.data.data(), N, 2, 2);
  EXPECT_EQ(U.columnCopy(2), a2);
  // Finish the atom as the pursuit does, from the reduced column.
  const double nrm = norm(U.column(2), N);
  EXPECT_DOUBLE_EQ(nrm, 5.0);
  const double reciprocal = 1.0 / nrm;
  const blas_int len = N, inc = 1;
  dscal(&len, &reciprocal, U.column(2), &inc);
  updateBiorthogonalSet(B.data.data(), a2.data(), U.column(2), nrm, N, 2);

  EXPECT_TRUE(sameBits(B.column(0), dualsBefore.column(0), 2 * std::size_t(N)));
  for (std::int32_t i = 0; i < N; ++i)
    EXPECT_NEAR(B.at(i, 2), a2[std::size_t(i)] / 25.0, 1e-15);
  EXPECT_TRUE(std::isnan(B.at(0, 3)) && std::isnan(U.at(N - 1, 3)));
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

// A block's sets grown atom by atom: A holds the atoms, U and B have one spare
// column past the last atom.
struct Grown {
  Matrix A, U, B;
};

// Sixty distinct separable atoms of a 16 x 16 block from random 16 x 24
// dictionaries, added one by one in the pursuit's order. With nearlyDependent,
// every fifth atom is the one before plus 1e-6 times another atom. On every
// step the atom, the earlier orthonormal columns and all columns past k (NaN
// sentinels) must be left exactly as they were.
Grown growSixtyAtoms(bool nearlyDependent, std::uint64_t seed) {
  const std::int32_t rows = 16, cols = 16, N = rows * cols, atoms = 60, K = 24;
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::uniform_int_distribution<std::int32_t> pick(0, K - 1);
  Matrix Dy(rows, K), Dx(cols, K);
  for (double& v : Dy.data) v = dist(gen);
  for (double& v : Dx.data) v = dist(gen);
  // Distinct atoms only: the pursuit never adds an atom a block already holds
  // (its score against the residual is at rounding level).
  std::vector<bool> used(std::size_t(K) * K, false);
  auto freshAtom = [&]() {
    std::int32_t i, j;
    do {
      i = pick(gen);
      j = pick(gen);
    } while (used[std::size_t(i + K * j)]);
    used[std::size_t(i + K * j)] = true;
    std::vector<double> a(static_cast<std::size_t>(N));
    for (std::int32_t c = 0; c < cols; ++c)
      for (std::int32_t r = 0; r < rows; ++r)
        a[std::size_t(r + rows * c)] = Dy.at(r, i) * Dx.at(c, j);
    return a;
  };

  Grown g{Matrix(N, atoms), Matrix(N, atoms + 1, kNaN), Matrix(N, atoms + 1, kNaN)};
  for (std::int32_t k = 0; k < atoms; ++k) {
    std::vector<double> a = freshAtom();
    if (nearlyDependent && k % 5 == 4) {
      const std::vector<double> other = freshAtom();
      for (std::int32_t i = 0; i < N; ++i)
        a[std::size_t(i)] = g.A.at(i, k - 1) + 1e-6 * other[std::size_t(i)];
    }
    std::memcpy(g.A.column(k), a.data(), sizeof(double) * std::size_t(N));
    const Matrix uBefore = g.U;
    const double nrm = addAtom(g.U, g.B, a.data(), k);
    EXPECT_GT(nrm, 0.0) << "k=" << k;
    EXPECT_TRUE(sameBits(a.data(), g.A.column(k), std::size_t(N))) << "atom changed, k=" << k;
    EXPECT_TRUE(sameBits(g.U.data.data(), uBefore.data.data(), std::size_t(N) * k)) << "k=" << k;
    for (std::int32_t c = k + 1; c <= atoms; ++c)
      for (std::int32_t i = 0; i < N; ++i)
        if (!std::isnan(g.U.at(i, c)) || !std::isnan(g.B.at(i, c))) {
          ADD_FAILURE() << "column " << c << " written at k=" << k;
          return g;
        }
  }
  return g;
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
  const Grown g = growSixtyAtoms(false, 43);
  const std::int32_t atoms = g.A.cols;
  const Matrix U = leadingColumns(g.U, atoms), B = leadingColumns(g.B, atoms);
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

// Every fifth atom within 1e-6 of the one before. The re-orthogonalisation keeps
// U^T U = I to 1e-12 all the same. The dual vectors of such pairs are large
// (|b_j| ~ 1 / nrm_j), and so is the rounding of b_j . a_i: biorthogonality is
// checked as |b_j . a_i - (i == j)| <= 1e-14 |b_j| |a_i| (about 50 eps), and
// U U^T B = B to 1e-12 relative to max |B|.
TEST(BasisGrowth, SixtyAtomsWithNearlyDependentOnes) {
  const Grown g = growSixtyAtoms(true, 45);
  const std::int32_t atoms = g.A.cols;
  const Matrix U = leadingColumns(g.U, atoms), B = leadingColumns(g.B, atoms);
  EXPECT_LT(maxAbsFromIdentity(transposeTimes(U, U)), 1e-12);
  EXPECT_LT(biorthogonalityError(B, g.A), 1e-14);
  EXPECT_GT(maxAbs(B), 1e4);  // the near dependence did take effect
  EXPECT_LT(maxAbsDifference(times(U, transposeTimes(U, B)), B), 1e-12 * maxAbs(B));
}
