#include "node_pool.h"

#include <cstdlib>
#include <new>

namespace {

// Slabs double from a few slots, so that a process with a handful of arrays
// holds little, up to a size past which one more slab is a small step.
const std::size_t kFirstSlabSlots = 64;
const std::size_t kLargestSlabSlots = std::size_t{1} << 14;

}  // namespace

NodePool::NodePool(std::size_t slotSize) {
  const std::size_t align = alignof(std::max_align_t);
  slotSize_ = (slotSize + align - 1) / align * align;
}

void* NodePool::take() {
  if (free_.empty()) {
    std::size_t count = slots_ == 0 ? kFirstSlabSlots : slots_;
    if (count > kLargestSlabSlots) count = kLargestSlabSlots;
    // Room to give back every slot later without allocating.
    free_.reserve(slots_ + count);
    // Zero-filled, so that a slot never taken holds no stale marker of a node.
    void* slab = std::calloc(count, slotSize_);
    if (slab == nullptr) throw std::bad_alloc();
    const auto first = reinterpret_cast<std::uintptr_t>(slab);
    slabs_.emplace(first, first + count * slotSize_);
    slots_ += count;
    // Handed out from the lowest address up.
    for (std::size_t i = count; i-- > 0;) free_.push_back(static_cast<char*>(slab) + i * slotSize_);
  }
  void* slot = free_.back();
  free_.pop_back();
  return slot;
}

void NodePool::give(void* slot) noexcept { free_.push_back(slot); }

bool NodePool::isSlot(const void* p) const {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  auto slab = slabs_.upper_bound(address);
  if (slab == slabs_.begin()) return false;
  --slab;
  return address < slab->second && (address - slab->first) % slotSize_ == 0;
}
