#include "block_pursuit.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "biorthogonal.h"
#include "blas.h"
#include "block_contest.h"
#include "block_storage.h"
#include "energy_total.h"
#include "orthogonalize.h"
#include "separable_atom.h"

namespace {

const char* const kProgramName = "TILEVISTA";

// A new atom whose component outside the block's earlier atoms is not above
// kTol1 times its own norm counts as dependent: it is refused and its block
// retired, instead of dividing by a rounding-sized norm.
const double kTol1 = 1e-7;
// The pursuit stops once the largest cached candidate value is below kTol2.
const double kTol2 = 1e-10;

// Candidate value of a block that is out of the contest: full, or its best atom
// is already in its span. Block choice only takes values strictly above 0.0, so
// a negative marker is never taken.
const double kRetired = -1.0;

// Orthogonalisation sweeps after the first projection.
const std::int32_t kReorthogonalizationPasses = 2;

const double* blockData(const mxArray* cell, std::int32_t i) {
  return mxGetPr(mxGetCell(cell, static_cast<mwIndex>(i)));
}

// A new N x columns (or columns x 1) double matrix at element i of cell, holding
// a copy of `values`.
void storeCopy(mxArray* cell, std::int32_t i, const double* values, std::int32_t rows,
               std::int32_t columns) {
  mxArray* a = mxCreateDoubleMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(columns), mxREAL);
  std::memcpy(mxGetPr(a), values,
              static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns) * sizeof(double));
  mxSetCell(cell, static_cast<mwIndex>(i), a);
}

void printBanner(double tol) {
  mexPrintf("\n%s MEX is running for tol=%g, tol1=%g and tol2=%g.\n", kProgramName, tol, kTol1,
            kTol2);
  mexPrintf("tol  -> required precision, distance ||f-f_approx||\n");
  mexPrintf("tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n");
  mexPrintf("tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n");
}

// A block's best next atom (0-based indices) and its absolute score.
struct Candidate {
  std::int32_t yIndex = 0, xIndex = 0;
};

// Scores block F against the whole dictionary pair and caches its best atom.
void scoreBlock(const double* Dy, const double* Dx, const double* F, std::int32_t Ky,
                std::int32_t Kx, std::int32_t rows, std::int32_t cols, Candidate* candidate,
                double* candidateValue) {
  std::int32_t linearIndex = 0;
  selectSeparableAtom(Dy, Dx, F, Ky, Kx, rows, cols, candidateValue, &candidate->yIndex,
                      &candidate->xIndex, &linearIndex);
}

// Brings the data of the block that takes the next atom toward the processor
// while the current atom is computed. The block's residual and input (a few cache
// lines) are requested at once. Its orthonormal vectors (N x count doubles, up to
// hundreds of lines) are requested in kParts portions spread over the
// step: requested in one burst they exhaust the processor's outstanding-miss
// slots and stall the very step they should overlap with.
//
// The requests are written out in this always-inlined helper rather than in a
// plain function: a function whose only effect is __builtin_prefetch is judged
// free of side effects by GCC, and every call of it is deleted.
class NextBlockPrefetch {
 public:
  static const int kParts = 4;

  /// Starts on a block: `residual`, `block` (N values each), `ortho` (N x count
  /// values, column-major; null while the block holds no atom).
  void start(const double* residual, const double* block, const double* ortho, std::size_t N,
             std::size_t count) {
    request(residual, 0, N);
    request(block, 0, N);
    ortho_ = ortho;
    values_ = N * count;
    done_ = 0;
    advance(1);
  }

  /// Requests the vectors up to portion `part` of kParts.
  void advance(int part) {
    const std::size_t end = values_ * static_cast<std::size_t>(part) / kParts;
    request(ortho_, done_, end);
    if (end > done_) done_ = end;
  }

  /// Forgets the block: nothing more is requested until the next start().
  void stop() { values_ = done_ = 0; }

 private:
#if defined(__GNUC__)
  __attribute__((always_inline)) static void request(const double* p, std::size_t from,
                                                     std::size_t to) {
    if (p == nullptr) return;
    for (std::size_t i = from; i < to; i += kValuesPerLine) __builtin_prefetch(p + i);
  }
#else
  static void request(const double*, std::size_t, std::size_t) {}
#endif
  static const std::size_t kValuesPerLine = 64 / sizeof(double);

  const double* ortho_ = nullptr;
  std::size_t values_ = 0;
  std::size_t done_ = 0;
};

// Builds the dual set of a block's m atoms into B (N x m, column-major, N =
// rows * cols) by the same updates, in the same order and on the same operands
// (the atom re-synthesised from its indices, its unit vector, its norm) as if it
// had grown with every atom, so the result is identical. Done once per block after
// the pursuit rather than at every step: the pursuit itself never reads the dual
// vectors, and growing them there would double the cold memory each step touches.
// `atom` is N values of scratch.
void buildDualSet(const double* Dy, const double* Dx, std::int32_t rows, std::int32_t cols,
                  const BlockStorage& atoms, std::int32_t m, double* atom, double* B) {
  const std::size_t N = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  for (std::int32_t j = 0; j < m; ++j) {
    const auto yIndex = static_cast<std::size_t>(atoms.yIndex()[j]) - 1;
    const auto xIndex = static_cast<std::size_t>(atoms.xIndex()[j]) - 1;
    synthesizeSeparableAtom(Dx + xIndex * static_cast<std::size_t>(cols),
                            Dy + yIndex * static_cast<std::size_t>(rows), cols, rows, atom);
    updateBiorthogonalSet(B, atom, atoms.ortho() + N * static_cast<std::size_t>(j),
                          atoms.norm()[j], static_cast<std::int32_t>(N), j);
  }
}

double squaredNorm(blas_int n, const double* x) {
  const blas_int one = 1;
  const double nrm = dnrm2(&n, x, &one);
  return nrm * nrm;
}

}  // namespace

void scaleAndAdd(double* y, const double* x, double a, std::int32_t n) {
  for (std::int32_t i = 0; i < n; ++i) y[i] = a * y[i] + x[i];
}

int runBlockPursuit(mxArray* approximationCell, const mxArray* blockCell, const double* Dy,
                    const double* Dx, double tol, std::int32_t Q, std::int32_t cols,
                    std::int32_t rows, std::int32_t Kx, std::int32_t Ky, mxArray* yIndexCell,
                    mxArray* xIndexCell, mxArray* dualCell, mxArray* coefficientCell,
                    mxArray* orthoCell, std::int32_t maxAtoms, std::int32_t* atomCount,
                    mxArray* totalAtoms, const PursuitControl& control) {
  double* total = mxGetPr(totalAtoms);
  *total = 0.0;

  // The caller guarantees that N, Kx * Ky, N * cap and cap * Q fit a 32-bit
  // signed integer; the products are still formed in 64 bits.
  const std::int32_t N = static_cast<std::int32_t>(std::int64_t{cols} * rows);
  const std::int64_t atomPairs = std::int64_t{Kx} * Ky;
  const std::int32_t cap = static_cast<std::int32_t>(atomPairs < N ? atomPairs : N);
  const std::size_t blockSize = static_cast<std::size_t>(N);

  std::uint32_t limit = static_cast<std::uint32_t>(cap) * static_cast<std::uint32_t>(Q);
  if (static_cast<std::uint32_t>(maxAtoms) > limit) {
    mexPrintf("The minimum number of atoms %i must be greater than 0 and less than %i!\n",
              maxAtoms, static_cast<int>(limit));
    return kPursuitRejected;
  }
  if (maxAtoms != 0) limit = static_cast<std::uint32_t>(maxAtoms);
  if (tol < 0) {
    mexPrintf("Tol is %g is should be positive!\n", tol);
    return kPursuitRejected;
  }

  // The blocks' data, looked up once: a host may do real work for every access.
  std::vector<const double*> block(static_cast<std::size_t>(Q));
  for (std::int32_t i = 0; i < Q; ++i) block[i] = blockData(blockCell, i);
  // Residuals of all blocks, one after the other; every block starts as itself.
  std::unique_ptr<double[]> residual(new double[blockSize * static_cast<std::size_t>(Q)]);
  for (std::int32_t i = 0; i < Q; ++i) {
    std::memcpy(residual.get() + blockSize * static_cast<std::size_t>(i), block[i],
                blockSize * sizeof(double));
  }
  printBanner(tol);

  std::unique_ptr<double[]> atomBuffer(new double[blockSize]);
  std::vector<Candidate> candidate(static_cast<std::size_t>(Q));
  std::vector<double> candidateValue(static_cast<std::size_t>(Q));
  std::vector<double> residualEnergy(static_cast<std::size_t>(Q));
  std::vector<BlockStorage> storage(static_cast<std::size_t>(Q));

  for (std::int32_t i = 0; i < Q; ++i) {
    const double* F = block[i];
    scoreBlock(Dy, Dx, F, Ky, Kx, rows, cols, &candidate[i], &candidateValue[i]);
    residualEnergy[i] = squaredNorm(N, F);
  }
  BlockContest contest(candidateValue.data(), Q);
  EnergyTotal energyTotal(residualEnergy.data(), Q);

  const blas_int n = N, one = 1;
  NextBlockPrefetch prefetch;
  std::uint32_t iteration = 0;
  while (iteration < limit) {
    if (control.interrupted != nullptr && control.interrupted()) return kPursuitInterrupted;
    // The block with the largest cached value; ties keep the lower index and a
    // NaN is never taken.
    const std::int32_t v = contest.winner();
    if (v < 0 || candidateValue[v] < kTol2) {
      mexPrintf("\n \n %s stopped, max(|<f,q>|/||q||)<= tol2=%g.\n", kProgramName, kTol2);
      break;
    }

    // Unless block v keeps winning, the next step goes to the best of the other
    // blocks: their data is cold, so start fetching it while this step computes.
    const std::int32_t next = contest.winnerWithout(v);
    if (next >= 0) {
      prefetch.start(residual.get() + blockSize * static_cast<std::size_t>(next), block[next],
                     storage[next].ortho(), blockSize, static_cast<std::size_t>(atomCount[next]));
    } else {
      prefetch.stop();
    }

    const std::int32_t yIndex = candidate[v].yIndex;
    const std::int32_t xIndex = candidate[v].xIndex;
    const std::int32_t k = atomCount[v];
    BlockStorage& atoms = storage[v];
    atoms.reserve(N, k + 1, cap);

    synthesizeSeparableAtom(Dx + static_cast<std::size_t>(xIndex) * static_cast<std::size_t>(cols),
                            Dy + static_cast<std::size_t>(yIndex) * static_cast<std::size_t>(rows),
                            cols, rows, atomBuffer.get());

    prefetch.advance(2);
    double* U = atoms.ortho();
    double* R = residual.get() + blockSize * static_cast<std::size_t>(v);
    const double* F = block[v];
    double* Uk = U + blockSize * static_cast<std::size_t>(k);

    if (k == 0) {
      std::memcpy(Uk, atomBuffer.get(), blockSize * sizeof(double));
    } else {
      projectOutBasis(U, atomBuffer.get(), N, k);
      reorthogonalize(U, N, k, kReorthogonalizationPasses);
    }
    const double nrm = dnrm2(&n, Uk, &one);
    const double reciprocal = 1.0 / nrm;
    if (!(nrm > kTol1 * dnrm2(&n, atomBuffer.get(), &one)) || !std::isfinite(reciprocal) ||
        !std::isfinite(nrm)) {
      // The atom lies, up to rounding, in the span of the block's atoms, or its
      // new direction is too small or too large (its norm overflows, so the
      // reciprocal is 0) for a finite unit vector and dual: the block has
      // nothing more to gain from this dictionary pair.
      candidateValue[v] = kRetired;
      contest.update(v);
      continue;
    }

    atomCount[v] = k + 1;
    *total += 1.0;
    atoms.yIndex()[k] = yIndex + 1;
    atoms.xIndex()[k] = xIndex + 1;
    atoms.norm()[k] = nrm;

    dscal(&n, &reciprocal, Uk, &one);
    prefetch.advance(3);

    // The coefficient comes from the block itself: Uk is orthogonal to the
    // block's earlier vectors, so u . F equals u . R up to rounding.
    const double c = ddot(&n, Uk, &one, F, &one);
    const double minusC = -c;
    daxpy(&n, &minusC, Uk, &one, R, &one);
    const double energy = squaredNorm(N, R);
    energyTotal.replace(v, energy);
    residualEnergy[v] = energy;

    if (energyTotal.below(tol)) {
      mexPrintf("\n \n We have have reached (tol) for approximation. tol= %f, max_err= %f", tol,
                energyTotal.indexOrderSum());
      break;
    }

    prefetch.advance(4);
    if (atomCount[v] == cap) {
      // A full block cannot take another atom.
      candidateValue[v] = kRetired;
    } else {
      scoreBlock(Dy, Dx, R, Ky, Kx, rows, cols, &candidate[v], &candidateValue[v]);
    }
    contest.update(v);
    ++iteration;
  }

  // Each block's results go straight into exactly sized host arrays; its growing
  // storage is released as soon as it has been copied.
  const double alpha = 1.0, beta = 0.0, minusOne = -1.0;
  for (std::int32_t t = 0; t < Q; ++t) {
    const std::int32_t m = atomCount[t];
    if (m == 0) continue;
    BlockStorage& atoms = storage[t];
    const double* F = block[t];
    storeCopy(yIndexCell, t, atoms.yIndex(), m, 1);
    storeCopy(xIndexCell, t, atoms.xIndex(), m, 1);
    storeCopy(orthoCell, t, atoms.ortho(), N, m);
    mxArray* dual = mxCreateDoubleMatrix(static_cast<mwSize>(N), static_cast<mwSize>(m), mxREAL);
    mxSetCell(dualCell, static_cast<mwIndex>(t), dual);
    buildDualSet(Dy, Dx, rows, cols, atoms, m, atomBuffer.get(), mxGetPr(dual));
    mxArray* coefficients = mxCreateDoubleMatrix(static_cast<mwSize>(m), 1, mxREAL);
    const blas_int mm = m;
    dgemv("T", &n, &mm, &alpha, mxGetPr(dual), &n, F, &one, &beta, mxGetPr(coefficients), &one);
    mxSetCell(coefficientCell, static_cast<mwIndex>(t), coefficients);
    atoms.release();

    double* R = residual.get() + blockSize * static_cast<std::size_t>(t);
    scaleAndAdd(R, F, minusOne, N);
    std::memcpy(mxGetPr(mxGetCell(approximationCell, static_cast<mwIndex>(t))), R,
                blockSize * sizeof(double));
  }
  return kPursuitRan;
}
