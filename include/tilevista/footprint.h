// The memory a call of the pursuit takes beyond its inputs, by what it is
// for, so that a host can tell a caller what to reduce when it is not there.
//
// In doubles (N = rows x cols, N8 = N rounded up to a multiple of 8, Q
// blocks, T threads, m atoms in a block, cap = min(Ky x Kx, N)):
// - 2 x Q x N8 for the module's copies of the blocks and their residuals, and
//   Q x N for the approximations in the outputs;
// - once, the copies of the dictionaries (rows x Ky + cols x Kx) and, on the
//   generated kernels' route, Dy transposed (Ky x rows);
// - on each thread, Ky x Kx + min(Ky x cols, rows x Kx) + N to score a block
//   and build an atom, and, while the outputs are written, N x m + m for the
//   dual vectors and coefficients of the block it writes;
// - for a block of m atoms, 2 x N x m for its orthonormal and dual vectors in
//   the outputs (when wanted) and, until those are filled, its orthonormal
//   vectors in working storage that grows by half when full (at most
//   1.5 x N x m, never beyond N x cap).
// So about 3 x Q x N + 2 x N x (atoms in all) at the end of a call.
#ifndef TILEVISTA_FOOTPRINT_H
#define TILEVISTA_FOOTPRINT_H

#include <cstdint>

/// The sizes of a call.
struct PursuitSizes {
  std::int32_t blockCount = 0;     ///< Q
  std::int32_t rows = 0, cols = 0; ///< block size
  std::int32_t Ky = 0, Kx = 0;     ///< atoms of each dictionary
};

/// What a call of these sizes takes, in bytes.
struct PursuitFootprint {
  double scoringBytes = 0.0;   ///< on each thread, to score a block and build an atom
  double blockBytes = 0.0;     ///< the blocks' copies, residuals and approximations
  double callBytes = 0.0;      ///< once per call: the dictionaries' copies and Dy transposed
  double blockAtomBytes = 0.0; ///< the most one block takes for its atoms (3 x N x cap)
  std::int32_t capacity = 0;   ///< cap, the atoms a block can hold
};

/// The footprint of a call of these sizes.
PursuitFootprint pursuitFootprint(const PursuitSizes& sizes);

/// Bytes the system can still give this process (the smaller of the memory
/// it reports available and the address-space limit), or a negative value
/// when that cannot be told. On Linux an allocation beyond it may succeed and
/// the process be killed when the memory is touched, so the module asks first.
double availableBytes();

#endif  // TILEVISTA_FOOTPRINT_H
