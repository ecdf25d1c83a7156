#include "block_pursuit.h"

#include <cstring>
#include <memory>

#include "biorthogonal.h"
#include "blas.h"
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

double* data(const mxArray* cell, std::int32_t i) {
  return mxGetPr(mxGetCell(cell, static_cast<mwIndex>(i)));
}

void printBanner(double tol) {
  mexPrintf("\n%s MEX is running for tol=%g, tol1=%g and tol2=%g.\n", kProgramName, tol, kTol1,
            kTol2);
  mexPrintf("tol  -> required precision, distance ||f-f_approx||\n");
  mexPrintf("tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n");
  mexPrintf("tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n");
}

// Scores block F against the whole dictionary pair and caches its best atom as
// element i of candidateCell ([yIndex; xIndex], 0-based) and candidateValue[i].
void scoreBlock(const double* Dy, const double* Dx, const double* F, std::int32_t Ky,
                std::int32_t Kx, std::int32_t rows, std::int32_t cols, double* candidate,
                double* candidateValue) {
  double bestValue = 0.0;
  std::int32_t yIndex = 0, xIndex = 0, linearIndex = 0;
  selectSeparableAtom(Dy, Dx, F, Ky, Kx, rows, cols, &bestValue, &yIndex, &xIndex, &linearIndex);
  candidate[0] = yIndex;
  candidate[1] = xIndex;
  *candidateValue = bestValue;
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
                    mxArray* totalAtoms) {
  double* total = mxGetPr(totalAtoms);
  *total = 0.0;

  // The caller guarantees that N, Kx * Ky, N * cap and cap * Q fit a 32-bit
  // signed integer; the products are still formed in 64 bits.
  const std::int32_t N = static_cast<std::int32_t>(std::int64_t{cols} * rows);
  const std::int64_t atomPairs = std::int64_t{Kx} * Ky;
  const std::int32_t cap = static_cast<std::int32_t>(atomPairs < N ? atomPairs : N);
  const std::size_t columnStride = static_cast<std::size_t>(N);

  std::uint32_t limit = static_cast<std::uint32_t>(cap) * static_cast<std::uint32_t>(Q);
  if (static_cast<std::uint32_t>(maxAtoms) > limit) {
    mexPrintf("The minimum number of atoms %i must be greater than 0 and less than %i!\n",
              maxAtoms, static_cast<int>(limit));
    return 1;
  }
  if (maxAtoms != 0) limit = static_cast<std::uint32_t>(maxAtoms);
  if (tol < 0) {
    mexPrintf("Tol is %g is should be positive!\n", tol);
    return 1;
  }

  mxArray* residualCell = mxDuplicateArray(blockCell);
  printBanner(tol);

  std::unique_ptr<double[]> atomBuffer(new double[columnStride]());
  mxArray* candidateCell = mxCreateCellMatrix(static_cast<mwSize>(Q), 1);
  double* candidateValue = mxGetPr(mxCreateDoubleMatrix(1, static_cast<mwSize>(Q), mxREAL));
  double* residualEnergy = mxGetPr(mxCreateDoubleMatrix(1, static_cast<mwSize>(Q), mxREAL));

  for (std::int32_t i = 0; i < Q; ++i) {
    const double* F = data(blockCell, i);
    mxSetCell(candidateCell, static_cast<mwIndex>(i), mxCreateDoubleMatrix(2, 1, mxREAL));
    scoreBlock(Dy, Dx, F, Ky, Kx, rows, cols, data(candidateCell, i), &candidateValue[i]);
    residualEnergy[i] = squaredNorm(N, F);
  }

  const blas_int n = N, one = 1;
  std::uint32_t iteration = 0;
  while (iteration < limit) {
    // The block with the largest cached value; ties keep the lower index and a
    // NaN is never taken.
    double w = 0.0;
    std::int32_t v = -1;
    for (std::int32_t q = 0; q < Q; ++q) {
      if (candidateValue[q] > w) {
        w = candidateValue[q];
        v = q;
      }
    }
    if (v < 0 || w < kTol2) {
      mexPrintf("\n \n %s stopped, max(|<f,q>|/||q||)<= tol2=%g.\n", kProgramName, kTol2);
      break;
    }

    const double* candidate = data(candidateCell, v);
    const std::int32_t yIndex = static_cast<std::int32_t>(candidate[0]);
    const std::int32_t xIndex = static_cast<std::int32_t>(candidate[1]);
    const std::int32_t k = atomCount[v];

    if (k == 0 && mxGetCell(orthoCell, static_cast<mwIndex>(v)) == nullptr) {
      const mwSize capRows = static_cast<mwSize>(cap);
      mxSetCell(yIndexCell, static_cast<mwIndex>(v), mxCreateDoubleMatrix(capRows, 1, mxREAL));
      mxSetCell(xIndexCell, static_cast<mwIndex>(v), mxCreateDoubleMatrix(capRows, 1, mxREAL));
      mxSetCell(dualCell, static_cast<mwIndex>(v),
                mxCreateDoubleMatrix(static_cast<mwSize>(N), capRows, mxREAL));
      mxSetCell(orthoCell, static_cast<mwIndex>(v),
                mxCreateDoubleMatrix(static_cast<mwSize>(N), capRows, mxREAL));
      mxSetCell(coefficientCell, static_cast<mwIndex>(v),
                mxCreateDoubleMatrix(capRows, 1, mxREAL));
    }

    synthesizeSeparableAtom(Dx + static_cast<std::size_t>(xIndex) * static_cast<std::size_t>(cols),
                            Dy + static_cast<std::size_t>(yIndex) * static_cast<std::size_t>(rows),
                            cols, rows, atomBuffer.get());

    double* U = data(orthoCell, v);
    double* B = data(dualCell, v);
    double* R = data(residualCell, v);
    const double* F = data(blockCell, v);
    double* Uk = U + columnStride * static_cast<std::size_t>(k);

    if (k == 0) {
      std::memcpy(Uk, atomBuffer.get(), columnStride * sizeof(double));
    } else {
      projectOutBasis(U, atomBuffer.get(), N, k);
      reorthogonalize(U, N, k, kReorthogonalizationPasses);
    }
    const double nrm = dnrm2(&n, Uk, &one);
    if (!(nrm > kTol1 * dnrm2(&n, atomBuffer.get(), &one))) {
      // The atom lies, up to rounding, in the span of the block's atoms: the
      // block has nothing more to gain from this dictionary pair.
      std::memset(Uk, 0, columnStride * sizeof(double));
      candidateValue[v] = kRetired;
      continue;
    }

    atomCount[v] = k + 1;
    *total += 1.0;
    data(yIndexCell, v)[k] = yIndex + 1;
    data(xIndexCell, v)[k] = xIndex + 1;

    const double reciprocal = 1.0 / nrm;
    dscal(&n, &reciprocal, Uk, &one);
    updateBiorthogonalSet(B, atomBuffer.get(), Uk, nrm, N, k);

    // The coefficient comes from the block itself: Uk is orthogonal to the
    // block's earlier vectors, so u . F equals u . R up to rounding.
    const double c = ddot(&n, Uk, &one, F, &one);
    const double minusC = -c;
    daxpy(&n, &minusC, Uk, &one, R, &one);
    residualEnergy[v] = squaredNorm(N, R);

    double totalEnergy = 0.0;
    for (std::int32_t q = 0; q < Q; ++q) totalEnergy += residualEnergy[q];
    if (totalEnergy < tol) {
      mexPrintf("\n \n We have have reached (tol) for approximation. tol= %f, max_err= %f", tol,
                totalEnergy);
      break;
    }

    if (atomCount[v] == cap) {
      // A full block cannot take another atom; its arrays end at cap columns.
      candidateValue[v] = kRetired;
    } else {
      scoreBlock(Dy, Dx, R, Ky, Kx, rows, cols, data(candidateCell, v), &candidateValue[v]);
    }
    ++iteration;
  }

  const double alpha = 1.0, beta = 0.0, minusOne = -1.0;
  for (std::int32_t t = 0; t < Q; ++t) {
    const std::int32_t m = atomCount[t];
    if (m == 0) continue;
    const blas_int mm = m;
    const double* F = data(blockCell, t);
    dgemv("T", &n, &mm, &alpha, data(dualCell, t), &n, F, &one, &beta, data(coefficientCell, t),
          &one);
    double* R = data(residualCell, t);
    scaleAndAdd(R, F, minusOne, N);
    std::memcpy(data(approximationCell, t), R, columnStride * sizeof(double));
  }
  return 0;
}
