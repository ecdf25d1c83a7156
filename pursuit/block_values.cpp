#include "block_values.h"

#include <algorithm>

BlockValues::BlockValues(std::int32_t Q, std::int32_t N, std::size_t chunkBytes)
    : stride_(alignedLength(static_cast<std::size_t>(N))),
      perChunk_(std::max<std::size_t>(1, chunkBytes / (2 * stride_ * sizeof(double)))) {
  const std::size_t blocks = static_cast<std::size_t>(Q);
  chunks_.resize((blocks + perChunk_ - 1) / perChunk_);
  for (std::size_t c = 0; c < chunks_.size(); ++c) {
    const std::size_t count = std::min(perChunk_, blocks - c * perChunk_);
    chunks_[c].allocate(2 * stride_ * count);
  }
}

void BlockValues::releaseBelow(std::int32_t q) {
  const std::size_t whole = static_cast<std::size_t>(q) / perChunk_;
  for (std::size_t c = 0; c < whole && c < chunks_.size(); ++c) chunks_[c].reset();
}
