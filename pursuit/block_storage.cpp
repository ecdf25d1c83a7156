#include "block_storage.h"

#include <new>

namespace {

const std::int32_t kFirstColumns = 4;

}  // namespace

void BlockStorage::grow(Buffer& buffer, std::size_t count) {
  void* grown = std::realloc(buffer.get(), count * sizeof(double));
  if (grown == nullptr) throw std::bad_alloc();
  buffer.release();
  buffer.reset(static_cast<double*>(grown));
}

void BlockStorage::reserve(std::int32_t N, std::int32_t columns, std::int32_t cap) {
  if (columns <= capacity_) return;
  // Growth by half keeps the unused room below a third of the storage.
  std::int64_t next = capacity_ < kFirstColumns ? kFirstColumns
                                                : capacity_ + std::int64_t{capacity_} / 2;
  if (next < columns) next = columns;
  if (next > cap) next = cap;
  const std::size_t count = static_cast<std::size_t>(next);
  grow(ortho_, count * static_cast<std::size_t>(N));
  grow(dual_, count * static_cast<std::size_t>(N));
  grow(yIndex_, count);
  grow(xIndex_, count);
  capacity_ = static_cast<std::int32_t>(next);
}

void BlockStorage::release() {
  ortho_.reset();
  dual_.reset();
  yIndex_.reset();
  xIndex_.reset();
  capacity_ = 0;
}
