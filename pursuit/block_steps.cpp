#include "block_steps.h"

#include <cmath>
#include <cstring>

#include "biorthogonal.h"
#include "blas.h"
#include "orthogonalize.h"
#include "separable_atom.h"

namespace {

// Orthogonalisation sweeps after the first projection.
const std::int32_t kReorthogonalizationPasses = 2;

const blas_int kOne = 1;

double squaredNorm(blas_int n, const double* x) {
  const double nrm = dnrm2(&n, x, &kOne);
  return nrm * nrm;
}

std::size_t columnOffset(std::int32_t column, std::int32_t length) {
  return static_cast<std::size_t>(column) * static_cast<std::size_t>(length);
}

void synthesize(const PursuitShape& shape, std::int32_t yIndex, std::int32_t xIndex,
                double* atom) {
  const double* dx = shape.Dx + columnOffset(xIndex, shape.cols);
  const double* dy = shape.Dy + columnOffset(yIndex, shape.rows);
  if (shape.basis == nullptr) {
    synthesizeSeparableAtom(dx, dy, shape.cols, shape.rows, atom);
    return;
  }
  shape.basis->synthesize(dy, dx, shape.rows, shape.cols, atom);
}

// Column k of the block's orthonormal set before its normalisation, and its
// norm: the projection and the sweeps after it.
double orthogonalize(const PursuitShape& shape, double* U, const double* atom, std::int32_t k) {
  if (shape.basis != nullptr) {
    return shape.basis->orthogonalize(U, atom, shape.N, k, kReorthogonalizationPasses);
  }
  const blas_int n = shape.N;
  double* Uk = U + columnOffset(k, shape.N);
  if (k == 0) {
    std::memcpy(Uk, atom, static_cast<std::size_t>(shape.N) * sizeof(double));
  } else {
    projectOutBasis(U, atom, shape.N, k);
    reorthogonalize(U, shape.N, k, kReorthogonalizationPasses);
  }
  return dnrm2(&n, Uk, &kOne);
}

// R = R - (u . F) u for the unit vector u; returns R's new energy.
double removeComponent(const PursuitShape& shape, const double* u, const double* F, double* R) {
  if (shape.basis != nullptr) return shape.basis->removeComponent(u, F, R, shape.N);
  const blas_int n = shape.N;
  // The coefficient comes from the block itself: u is orthogonal to the
  // block's earlier vectors, so u . F equals u . R up to rounding.
  const double c = ddot(&n, u, &kOne, F, &kOne);
  const double minusC = -c;
  daxpy(&n, &minusC, u, &kOne, R, &kOne);
  return squaredNorm(n, R);
}

}  // namespace

void scaleAndAdd(double* y, const double* x, double a, std::int32_t n) {
  for (std::int32_t i = 0; i < n; ++i) y[i] = a * y[i] + x[i];
}

void startBlock(const PursuitShape& shape, const BlockData& data, const double* source,
                BlockState* state) {
  const std::size_t bytes = static_cast<std::size_t>(shape.N) * sizeof(double);
  std::memcpy(data.F, source, bytes);
  std::memcpy(data.R, data.F, bytes);
  state->energy = shape.basis != nullptr ? shape.basis->sumOfSquares(data.F, shape.N)
                                          : squaredNorm(shape.N, data.F);
}

bool addAtom(const PursuitShape& shape, const BlockData& data, double* atom, BlockState* state,
             AtomRecord* record) {
  const blas_int n = shape.N;
  const std::int32_t k = state->count;
  BlockStorage& atoms = *data.storage;
  atoms.reserve(shape.N, k + 1, shape.cap);
  synthesize(shape, state->yIndex, state->xIndex, atom);

  double* Uk = atoms.ortho() + columnOffset(k, shape.N);
  const double nrm = orthogonalize(shape, atoms.ortho(), atom, k);
  const double reciprocal = 1.0 / nrm;
  const double atomNorm =
      shape.basis != nullptr ? shape.basis->norm(atom, shape.N) : dnrm2(&n, atom, &kOne);
  if (!(nrm > kTol1 * atomNorm) || !std::isfinite(reciprocal) || !std::isfinite(nrm)) {
    // The atom lies, up to rounding, in the span of the block's atoms, or its
    // new direction is too small or too large (its norm overflows, so the
    // reciprocal is 0) for a finite unit vector and dual: the block has
    // nothing more to gain from this dictionary pair.
    state->value = kRetired;
    return false;
  }
  record->value = state->value;
  state->count = k + 1;
  atoms.yIndex()[k] = state->yIndex + 1;
  atoms.xIndex()[k] = state->xIndex + 1;
  atoms.norm()[k] = nrm;
  if (shape.basis != nullptr) {
    shape.basis->scale(Uk, reciprocal, shape.N);
  } else {
    dscal(&n, &reciprocal, Uk, &kOne);
  }
  state->energy = removeComponent(shape, Uk, data.F, data.R);
  record->energy = state->energy;
  if (state->count == shape.cap) state->value = kRetired;  // full: takes no more
  return true;
}

void rescore(const PursuitShape& shape, const BlockData& data, double* scratch,
             BlockState* state) {
  if (state->value == kRetired) return;
  if (shape.basis == nullptr || !shape.scorer->usesKernels()) {
    shape.scorer->select(data.R, scratch, &state->value, &state->yIndex, &state->xIndex);
    return;
  }
  // The fused route chooses from the generated kernels' table itself, by the
  // reference idamax's rule, without a BLAS call.
  const std::int32_t Ky = shape.Ky;
  const double* table = shape.scorer->scoreTable(data.R, scratch);
  const std::int32_t best = shape.basis->largestMagnitude(table, Ky * shape.Kx);
  state->value = std::fabs(table[best]);
  splitAtomIndex(best, Ky, &state->yIndex, &state->xIndex);
}

void rebuildResidual(const PursuitShape& shape, const BlockData& data, std::int32_t count) {
  const std::size_t N = static_cast<std::size_t>(shape.N);
  std::memcpy(data.R, data.F, N * sizeof(double));
  const double* U = data.storage->ortho();
  for (std::int32_t j = 0; j < count; ++j) {
    removeComponent(shape, U + N * static_cast<std::size_t>(j), data.F, data.R);
  }
}

void finishBlock(const PursuitShape& shape, const BlockData& data, std::int32_t m,
                 const BlockOutputs& out, bool duals, bool bases, BlockScratch* scratch) {
  const std::size_t N = static_cast<std::size_t>(shape.N);
  if (m == 0) {
    std::memset(out.approximation, 0, N * sizeof(double));
    return;
  }
  const blas_int n = shape.N, mm = m;
  const std::size_t count = static_cast<std::size_t>(m);
  BlockStorage& atoms = *data.storage;
  std::memcpy(out.yIndex, atoms.yIndex(), count * sizeof(double));
  std::memcpy(out.xIndex, atoms.xIndex(), count * sizeof(double));
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
    synthesize(shape, static_cast<std::int32_t>(atoms.yIndex()[j]) - 1,
               static_cast<std::int32_t>(atoms.xIndex()[j]) - 1, scratch->atom.get());
    const double* u = atoms.ortho() + N * static_cast<std::size_t>(j);
    if (shape.basis != nullptr) {
      shape.basis->updateDuals(B, scratch->atom.get(), u, atoms.norm()[j], shape.N, j);
    } else {
      updateBiorthogonalSet(B, scratch->atom.get(), u, atoms.norm()[j], shape.N, j);
    }
  }
  double* C = scratch->coefficients.get();
  if (shape.basis != nullptr) {
    shape.basis->columnDots(B, data.F, shape.N, m, C);
  } else {
    const double alpha = 1.0, beta = 0.0;
    dgemv("T", &n, &mm, &alpha, B, &n, data.F, &kOne, &beta, C, &kOne);
  }
  std::memcpy(out.coefficients, C, count * sizeof(double));
  if (duals) std::memcpy(out.dual, B, N * count * sizeof(double));

  scaleAndAdd(data.R, data.F, -1.0, shape.N);
  std::memcpy(out.approximation, data.R, N * sizeof(double));
}
