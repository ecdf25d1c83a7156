// One block's own work in the pursuit: its values copied in, an atom added and
// the block rescored, its residual rebuilt for fewer atoms, and its results
// written out. Nothing here looks at other blocks, so different blocks can be
// worked on by different threads at once, and a block's results do not depend
// on which thread worked on it. Every array handed to the BLAS or to the fused
// kernels here is the module's own, aligned storage (aligned_doubles.h).
#ifndef TILEVISTA_BLOCK_STEPS_H
#define TILEVISTA_BLOCK_STEPS_H

#include <cstdint>

#include "aligned_doubles.h"
#include "block_scorer.h"
#include "block_storage.h"
#include "fused_basis.h"
#include "tilevista/pursuit.h"

/// What every block of a call shares: its sizes, its dictionaries
/// (column-major, in the module's aligned storage) and its scorer.
struct PursuitSetup {
  const double* Dy = nullptr;  ///< rows x Ky
  const double* Dx = nullptr;  ///< cols x Kx
  std::int32_t rows = 0, cols = 0, Ky = 0, Kx = 0;
  std::int32_t N = 0;    ///< rows x cols
  std::int32_t cap = 0;  ///< most atoms a block can hold: min(Ky x Kx, N)
  const BlockScorer* scorer = nullptr;  ///< the call's block scoring
  /// The basis work's fused kernels (basis_route.h); null on the BLAS route.
  const FusedBasis* basis = nullptr;
};

/// Candidate value of a block that takes no more atoms: full, or its best atom
/// already lies in its span. Below every threshold (thresholds are > 0).
constexpr double kRetired = -1.0;

/// A block during the pursuit.
struct BlockState {
  double value = 0.0;   ///< absolute score of its best next atom, or kRetired
  double energy = 0.0;  ///< squared norm of its residual
  std::int32_t yIndex = 0, xIndex = 0;  ///< its best next atom, 0-based
  std::int32_t count = 0;               ///< atoms it holds
  // Its part of the current band: atoms held and energy when the band began,
  // and where its records are (member's log, offset, number of atoms).
  std::int32_t bandCount = 0;
  double bandEnergy = 0.0;
  std::int32_t logMember = 0;
  std::int32_t records = 0;
  std::size_t logOffset = 0;
};

/// One atom a block took within a band.
struct AtomRecord {
  double value;   ///< the block's candidate value when it took the atom
  double energy;  ///< the block's residual energy after it
};

/// A block's arrays, each N values in aligned storage: its input F (the
/// module's copy of the host's block) and its residual R.
struct BlockData {
  double* F;
  double* R;
  BlockStorage* storage;
};

/// A thread's scratch for block steps, grown as needed and kept between
/// blocks.
struct BlockScratch {
  AlignedDoubles atom;          ///< N: the atom being added
  AlignedDoubles duals;         ///< N x m: a block's dual vectors while written out
  AlignedDoubles coefficients;  ///< m: its coefficients
};

/// Copies the host's block into F and R and takes its energy; the block is then
/// scored with rescore() (its residual is its input, bit for bit).
/// @param setup   in, the call's sizes and dictionaries
/// @param data    in/out: F and R are overwritten with the source's values
/// @param source  in, the host's block, N values, column-major, any address
/// @param state   out: energy; count must be 0, value not kRetired
void startBlock(const PursuitSetup& setup, const BlockData& data, const double* source,
                BlockState* state);

/// Adds the block's best candidate atom the way the pursuit adds an atom:
/// Gram-Schmidt with two more sweeps, then the residual update and its energy,
/// on the BLAS route or with the fused kernels (setup.basis).
/// An atom with no new direction is refused instead, and retires the block; a
/// block that is now full retires too. Does not rescore the block.
/// @param atom    N values of aligned scratch
/// @param record  out, on success: the value the atom was taken at and the
///                block's energy after it
/// @return false when the atom was refused (nothing added)
/// Throws std::bad_alloc when the block's storage cannot grow.
bool addAtom(const PursuitSetup& setup, const BlockData& data, double* atom, BlockState* state,
             AtomRecord* record);

/// Scores the block's residual and caches its best candidate; a block that
/// retired is left as it is. On the fused route, where the scorer hands out
/// its score table, the fused kernels choose the entry (by idamax's rule,
/// without the BLAS).
/// @param scratch  setup.scorer->scratchSize() doubles of the calling thread's
void rescore(const PursuitSetup& setup, const BlockData& data, double* scratch,
             BlockState* state);

/// Makes R the residual of the block's first `count` atoms exactly as the
/// pursuit formed it: F minus each atom's component, in order.
void rebuildResidual(const PursuitSetup& setup, const BlockData& data, std::int32_t count);

/// Writes a block's results for its m atoms (its storage is then no longer
/// needed; the caller releases it): indices, orthonormal vectors, the dual vectors grown atom by atom, the
/// coefficients (duals times F) and the approximation F - R (R is overwritten);
/// for m = 0 an approximation of zeros. The duals are built in the scratch
/// (the coefficients come from them) and copied out only when wanted.
/// @param out      in, where the results go (host memory, any address)
/// @param duals    write out.dual
/// @param bases    write out.ortho
/// @param scratch  in/out, the thread's scratch
void finishBlock(const PursuitSetup& setup, const BlockData& data, std::int32_t m,
                 const BlockOutputs& out, bool duals, bool bases, BlockScratch* scratch);

/// y[i] = a * y[i] + x[i] for i < n; n <= 0 writes nothing.
void scaleAndAdd(double* y, const double* x, double a, std::int32_t n);

#endif  // TILEVISTA_BLOCK_STEPS_H
