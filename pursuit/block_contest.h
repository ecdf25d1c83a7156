// Choice of the block for the next atom in O(log Q): a tournament tree over the
// blocks' cached candidate values.
#ifndef TILEVISTA_BLOCK_CONTEST_H
#define TILEVISTA_BLOCK_CONTEST_H

#include <cstdint>
#include <vector>

/// Picks, among Q blocks, the one a left-to-right scan with a running best that
/// starts at 0.0 and moves only on strictly greater values would pick: the lowest
/// index among the largest values above 0.0. NaN, 0.0 and negative values never
/// win, so a block is taken out of the contest by giving it a negative value.
class BlockContest {
 public:
  /// @param values  in, Q candidate values; read again on every update, so the
  ///                caller keeps them alive and calls update() after a change
  /// @param Q       number of blocks (>= 0)
  BlockContest(const double* values, std::int32_t Q);

  /// Replays the matches on the path of block q after its value changed.
  void update(std::int32_t q);

  /// The winning block, or -1 when no value is above 0.0.
  std::int32_t winner() const;

  /// The block that would win if block q were out of the contest, or -1. O(log Q).
  std::int32_t winnerWithout(std::int32_t q) const;

 private:
  std::int32_t match(std::int32_t left, std::int32_t right) const;

  const double* values_;
  std::size_t leaves_ = 0;           // power of two >= Q
  std::vector<std::int32_t> node_;   // 1-based heap layout; leaves at leaves_ + q
};

#endif  // TILEVISTA_BLOCK_CONTEST_H
