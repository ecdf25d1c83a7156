// Fixed-size slots for the substitute host's array nodes.
//
// Slots come from slabs that stay allocated for the life of the process. Any
// pointer can therefore be checked for being a slot by its address alone, and a
// released slot keeps what its last owner left in it. The host relies on both
// to recognise handles to released or never-created arrays, which a table of
// live handles would also do, but at the price of scattered lookups, several
// cache misses per array created once hundreds of thousands of them exist.
#ifndef TILEVISTA_NODE_POOL_H
#define TILEVISTA_NODE_POOL_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class NodePool {
 public:
  /// @param slotSize  bytes per slot (> 0); slots are aligned for any
  ///                  fundamental type
  explicit NodePool(std::size_t slotSize);
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;

  /// A free slot, zero-filled when it has never been taken before.
  /// Throws std::bad_alloc when memory runs out.
  void* take();

  /// Returns a slot obtained from take(). Never allocates, never throws.
  void give(void* slot) noexcept;

  /// True when p is the first byte of one of the pool's slots, taken or free.
  bool isSlot(const void* p) const;

 private:
  std::size_t slotSize_;
  std::size_t slots_ = 0;                           // in all slabs
  std::map<std::uintptr_t, std::uintptr_t> slabs_;  // first byte -> one past the last
  std::vector<void*> free_;                         // capacity >= slots_ always
};

#endif  // TILEVISTA_NODE_POOL_H
