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
  synthesizeSeparableAtom(setup.Dx + columnOffset(xIndex, setup.cols),
                          setup.Dy + columnOffset(yIndex, setup.rows), setup.cols, setup.rows,
                          atom);
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
  state->energy = squaredNorm(setup.N, data.F);
}

bool addAtom(const PursuitSetup& setup, const BlockData& data, double* atom, BlockState* state,
             AtomRecord* record) {
  const blas_int n = setup.N;
  const std::int32_t k = state->count;
  BlockStorage& atoms = *data.storage;
  atoms.reserve(setup.N, k + 1, setup.cap);
  synthesize(setup, state->yIndex, state->xIndex, atom);

  double nrm = 0.0;
  if (!appendOrthonormalVector(atoms.ortho(), atom, setup.N, k, &nrm)) {
    // The block has nothing more to gain from this dictionary pair.
    state->value = kRetired;
    return false;
  }
  const double* Uk = atoms.ortho() + static_cast<std::size_t>(setup.N) * static_cast<std::size_t>(k);
  record->value = state->value;
  state->count = k + 1;
  atoms.yIndex()[k] = state->yIndex;
  atoms.xIndex()[k] = state->xIndex;
  atoms.norm()[k] = nrm;

  // The coefficient comes from the block itself: Uk is orthogonal to the
  // block's earlier vectors, so u . F equals u . R up to rounding.
  const double c = ddot(&n, Uk, &kOne, data.F, &kOne);
  const double minusC = -c;
  daxpy(&n, &minusC, Uk, &kOne, data.R, &kOne);
  state->energy = squaredNorm(n, data.R);
  record->energy = state->energy;
  if (state->count == setup.cap) state->value = kRetired;  // full: takes no more
  return true;
}

void rescore(const PursuitSetup& setup, const BlockData& data, double* scratch,
             BlockState* state) {
  if (state->value != kRetired) {
    setup.scorer->select(data.R, scratch, &state->value, &state->yIndex, &state->xIndex);
  }
}

void rebuildResidual(const PursuitSetup& setup, const BlockData& data, std::int32_t count) {
  const blas_int n = setup.N;
  const std::size_t N = static_cast<std::size_t>(setup.N);
  std::memcpy(data.R, data.F, N * sizeof(double));
  const double* U = data.storage->ortho();
  for (std::int32_t j = 0; j < count; ++j) {
    const double* Uj = U + N * static_cast<std::size_t>(j);
    const double c = ddot(&n, Uj, &kOne, data.F, &kOne);
    const double minusC = -c;
    daxpy(&n, &minusC, Uj, &kOne, data.R, &kOne);
  }
}

void finishBlock(const PursuitSetup& setup, const BlockData& data, std::int32_t m,
                 const BlockOutputs& out, bool duals, bool bases, BlockScratch* scratch) {
  const std::size_t N = static_cast<std::size_t>(setup.N);
  if (m == 0) {
    std::memset(out.approximation, 0, N * sizeof(double));
    return;
  }
  const blas_int n = setup.N, mm = m;
  const std::size_t count = static_cast<std::size_t>(m);
  BlockStorage& atoms = *data.storage;
  std::memcpy(out.yIndex, atoms.yIndex(), count * sizeof(std::int32_t));
  std::memcpy(out.xIndex, atoms.xIndex(), count * sizeof(std::int32_t));
  if (bases) std::memcpy(out.ortho, atoms.ortho(), N * count * sizeof(double));

  // The dual set, built by the same updates in the same order and on the same
  // operands (the atom re-synthesised from its indices, its unit vector, its
  // norm) as if it had grown with every atom. Built here, once, rather than
  // during the pursuit: the pursuit never reads it. In the thread's scratch,
  // not in the host's array, whose address is the host's choice.
  if (scratch->duals.size() < N * count) scratch->duals.allocate(N * count);
  if (scratch->coefficients.size() < count) scratch->coefficients.allocate(count);
  double* B = scratch->duals.get();
  for (std::int32_t j = 0; j < m; ++j) {
    synthesize(setup, atoms.yIndex()[j], atoms.xIndex()[j], scratch->atom.get());
    updateBiorthogonalSet(B, scratch->atom.get(), atoms.ortho() + N * static_cast<std::size_t>(j),
                          atoms.norm()[j], setup.N, j);
  }
  const double alpha = 1.0, beta = 0.0;
  double* C = scratch->coefficients.get();
  dgemv("T", &n, &mm, &alpha, B, &n, data.F, &kOne, &beta, C, &kOne);
  std::memcpy(out.coefficients, C, count * sizeof(double));
  if (duals) std::memcpy(out.dual, B, N * count * sizeof(double));

  scaleAndAdd(data.R, data.F, -1.0, setup.N);
  std::memcpy(out.approximation, data.R, N * sizeof(double));
}
