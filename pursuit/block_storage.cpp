#include "block_storage.h"

#include <cstring>
#include <utility>

namespace {

// Most blocks take a handful of atoms; starting at 8 columns spares them most
// regrowths, and growth by half keeps unused room below a third.
const std::int32_t kFirstColumns = 8;

}  // namespace

void BlockStorage::reserve(std::int32_t N, std::int32_t columns, std::int32_t cap) {
  if (columns <= capacity_) return;
  std::int64_t next = capacity_ < kFirstColumns ? kFirstColumns
                                                : capacity_ + std::int64_t{capacity_} / 2;
  if (next < columns) next = columns;
  if (next > cap) next = cap;
  const std::size_t c = static_cast<std::size_t>(next);
  const std::size_t n = static_cast<std::size_t>(N);
  AlignedDoubles grown(c * (n + 2));
  if (capacity_ > 0) {
    const std::size_t held = capacity();
    std::memcpy(grown.get(), ortho(), held * n * sizeof(double));
    std::memcpy(grown.get() + c * n, norm(), held * sizeof(double));
    auto* indices = reinterpret_cast<std::int32_t*>(grown.get() + (n + 1) * c);
    std::memcpy(indices, yIndex(), held * sizeof(std::int32_t));
    std::memcpy(indices + c, xIndex(), held * sizeof(std::int32_t));
  }
  slot_ = std::move(grown);
  N_ = N;
  capacity_ = static_cast<std::int32_t>(next);
}

void BlockStorage::release() {
  slot_.reset();
  capacity_ = 0;
}
