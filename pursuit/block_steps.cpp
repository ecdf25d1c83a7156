#include "block_steps.h"

#include <cmath>
#include <cstring>

#include "biorthogonal.h"
#include "blas.h"
#include "orthogonalize.h"
#include "separable_atom.h"

namespace {

const blas_int kOne = 1;

double squaredNorm(blas_int n, const double* x) {
  const double nrm = dnrm2(&n, x, &kOne);
  return nrm * nrm;
}

std::size_t columnOffset(std::int32_t column, std::int32_t length) {
  return static_cast<std::size_t>(column) * static_cast<std::size_t>(length);
}

void synthesize(const PursuitSetup& setup, std::int32_t yIndex, std::int32_t xIndex,
                double* atom) {
  const double* dx = setup.Dx + columnOffset(xIndex, setup.cols);
  const double* dy = setup.Dy + columnOffset(yIndex, setup.rows);
  if (setup.basis == nullptr) {
    synthesizeSeparableAtom(dx, dy, setup.cols, setup.rows, atom);
    return;
  }
  setup.basis->synthesize(dy, dx, setup.rows, setup.cols, atom);
}

// R = R - (u . F) u for the unit vector u; returns R's new energy.
double removeComponent(const PursuitSetup& setup, const double* u, const double* F, double* R) {
  if (setup.basis != nullptr) return setup.basis->removeComponent(u, F, R, setup.N);
  const blas_int n = setup.N;
  // The coefficient comes from the block itself: u is orthogonal to the
  // block's earlier vectors, so u . F equals u . R up to rounding.
  const double c = ddot(&n, u, &kOne, F, &kOne);
  const double minusC = -c;
  daxpy(&n, &minusC, u, &kOne, R, &kOne);
  return squaredNorm(n, R);
}

// out_j = A_j . x for the m columns of A (N x m): on the fused route by its
// kernels, else one dgemv.
void columnDots(const PursuitSetup& setup, const double* A, const double* x, std::int32_t m,
                double* out) {
  if (setup.basis != nullptr) {
    setup.basis->columnDots(A, x, setup.N, m, out);
    return;
  }
  const blas_int n = setup.N, mm = m;
  const double alpha = 1.0, beta = 0.0;
  dgemv("T", &n, &mm, &alpha, A, &n, x, &kOne, &beta, out, &kOne);
}

}  // namespace

void scaleAndAdd(double* y, const double* x, double a, std::int32_t n) {
  for (std::int32_t i = 0; i < n; ++i) y[i] = a * y[i] + x[i];
}

void startBlock(const PursuitSetup& setup, const BlockData& data, const double* source,
                BlockState* state) {
  const std::size_t bytes = static_cast<std::size_t>(setup.N) * sizeof(double);
  std::memcpy(data.F, source, bytes);
  std::memcpy(data.R, data.F, bytes);
  state->energy = setup.basis != nullptr ? setup.basis->sumOfSquares(data.F, setup.N)
                                          : squaredNorm(setup.N, data.F);
}

bool addAtom(const PursuitSetup& setup, const BlockData& data, double* atom, BlockState* state,
             AtomRecord* record) {
  const std::int32_t k = state->count;
  BlockStorage& atoms = *data.storage;
  atoms.reserve(setup.N, k + 1, setup.cap);
  synthesize(setup, state->yIndex, state->xIndex, atom);

  double nrm = 0.0;
  if (!appendOrthonormalVector(atoms.ortho(), atom, setup.N, k, setup.basis, &nrm)) {
    // The block has nothing more to gain from this dictionary pair.
    state->value = kRetired;
    return false;
  }
  record->value = state->value;
  state->count = k + 1;
  atoms.yIndex()[k] = state->yIndex;
  atoms.xIndex()[k] = state->xIndex;
  atoms.norm()[k] = nrm;
  const double* Uk = atoms.ortho() + columnOffset(k, setup.N);
  state->energy = removeComponent(setup, Uk, data.F, data.R);
  record->energy = state->energy;
  if (state->count == setup.cap) state->value = kRetired;  // full: takes no more
  return true;
}

void rescore(const PursuitSetup& setup, const BlockData& data, double* scratch,
             BlockState* state) {
  if (state->value == kRetired) return;
  // The fused route chooses from the scorer's table itself, where the scorer
  // hands one out, by the reference idamax's rule, without a BLAS call.
  const double* table =
      setup.basis != nullptr ? setup.scorer->scoreTable(data.R, scratch) : nullptr;
  if (table == nullptr) {
    setup.scorer->select(data.R, scratch, &state->value, &state->yIndex, &state->xIndex);
    return;
  }
  const std::int32_t Ky = setup.Ky;
  const std::int32_t best = setup.basis->largestMagnitude(table, Ky * setup.Kx);
  state->value = std::fabs(table[best]);
  splitAtomIndex(best, Ky, &state->yIndex, &state->xIndex);
}

void rebuildResidual(const PursuitSetup& setup, const BlockData& data, std::int32_t count) {
  const std::size_t N = static_cast<std::size_t>(setup.N);
  std::memcpy(data.R, data.F, N * sizeof(double));
  const double* U = data.storage->ortho();
  for (std::int32_t j = 0; j < count; ++j) {
    removeComponent(setup, U + N * static_cast<std::size_t>(j), data.F, data.R);
  }
}

namespace {

// The block's dual vectors, grown as they would have grown with every atom,
// into B (N x m), and its coefficients (duals times F) into C.
void buildDuals(const PursuitSetup& setup, const BlockData& data, std::int32_t m,
                BlockScratch* scratch, double* B, double* C) {
  const std::size_t N = static_cast<std::size_t>(setup.N);
  const BlockStorage& atoms = *data.storage;
  for (std::int32_t j = 0; j < m; ++j) {
    synthesize(setup, atoms.yIndex()[j], atoms.xIndex()[j], scratch->atom.get());
    const double* u = atoms.ortho() + N * static_cast<std::size_t>(j);
    if (setup.basis != nullptr) {
      setup.basis->updateDuals(B, scratch->atom.get(), u, atoms.norm()[j], setup.N, j);
    } else {
      updateBiorthogonalSet(B, scratch->atom.get(), u, atoms.norm()[j], setup.N, j);
    }
  }
  columnDots(setup, B, data.F, m, C);
}

}  // namespace

void finishBlock(const PursuitSetup& setup, const BlockData& data, std::int32_t m,
                 const BlockOutputs& out, bool duals, bool bases, BlockScratch* scratch) {
  const std::size_t N = static_cast<std::size_t>(setup.N);
  if (m == 0) {
    if (out.approximation != nullptr) std::memset(out.approximation, 0, N * sizeof(double));
    return;
  }
  const std::size_t count = static_cast<std::size_t>(m);
  BlockStorage& atoms = *data.storage;
  if (out.yIndex != nullptr) std::memcpy(out.yIndex, atoms.yIndex(), count * sizeof(std::int32_t));
  if (out.xIndex != nullptr) std::memcpy(out.xIndex, atoms.xIndex(), count * sizeof(std::int32_t));
  if (bases && out.ortho != nullptr) {
    std::memcpy(out.ortho, atoms.ortho(), N * count * sizeof(double));
  }
  // Sums go to the thread's scratch, not to the host's arrays, whose addresses
  // are the host's choice and steer the BLAS's kernels: the sums must not
  // depend on them.
  if (scratch->coefficients.size() < count) scratch->coefficients.allocate(count);
  double* C = scratch->coefficients.get();
  if (out.basisCoefficients != nullptr) {
    columnDots(setup, atoms.ortho(), data.F, m, C);
    std::memcpy(out.basisCoefficients, C, count * sizeof(double));
  }
  // The dual set, built by the same updates in the same order and on the same
  // operands (the atom re-synthesised from its indices, its unit vector, its
  // norm) as if it had grown with every atom. Built here, once, rather than
  // during the pursuit: the pursuit never reads it.
  const bool dualsWritten = duals && out.dual != nullptr;
  if (out.coefficients != nullptr || dualsWritten) {
    // The fused kernels' sums do not depend on where their operands lie, so
    // on that route the duals grow in the host's array itself, sparing a copy
    // of N x m values a block.
    const bool inPlace = dualsWritten && setup.basis != nullptr;
    if (!inPlace && scratch->duals.size() < N * count) scratch->duals.allocate(N * count);
    double* B = inPlace ? out.dual : scratch->duals.get();
    buildDuals(setup, data, m, scratch, B, C);
    if (out.coefficients != nullptr) std::memcpy(out.coefficients, C, count * sizeof(double));
    if (dualsWritten && !inPlace) std::memcpy(out.dual, B, N * count * sizeof(double));
  }
  if (out.approximation != nullptr) {
    scaleAndAdd(data.R, data.F, -1.0, setup.N);
    std::memcpy(out.approximation, data.R, N * sizeof(double));
  }
}
