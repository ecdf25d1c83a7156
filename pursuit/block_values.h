// The module's own copies of a call's blocks and their residuals, N values
// each, side by side per block and each on a line of its own (aligned
// storage, for the BLAS). Held in chunks of a few megabytes from the pool of
// kept memory, so that the blocks already written out can be let go while the
// outputs of the others are written, and the next call finds them again.
#ifndef TILEVISTA_BLOCK_VALUES_H
#define TILEVISTA_BLOCK_VALUES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "aligned_doubles.h"
#include "pooled_doubles.h"

class BlockValues {
 public:
  /// Storage, uninitialised, for Q blocks of N values and their residuals, in
  /// chunks of about chunkBytes. Throws std::bad_alloc when it cannot be had.
  BlockValues(std::int32_t Q, std::int32_t N, std::size_t chunkBytes = kChunkBytes);

  /// Bytes of a chunk, about: small beside a large call's memory, large beside
  /// the allocator's bookkeeping.
  static constexpr std::size_t kChunkBytes = std::size_t{8} << 20;

  /// Block q's copy of its values and its residual, N values each.
  double* input(std::int32_t q) const { return at(q); }
  double* residual(std::int32_t q) const { return at(q) + stride_; }

  /// Frees the chunks that hold only blocks below q; their values must not be
  /// used again.
  void releaseBelow(std::int32_t q);

 private:
  double* at(std::int32_t q) const {
    const std::size_t i = static_cast<std::size_t>(q);
    return chunks_[i / perChunk_].get() + 2 * stride_ * (i % perChunk_);
  }

  std::size_t stride_;    // doubles from a block's input to its residual
  std::size_t perChunk_;  // blocks per chunk
  std::vector<PooledDoubles> chunks_;
};

#endif  // TILEVISTA_BLOCK_VALUES_H
