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
/// Every node keeps its winner's value beside its index, so replaying a path
/// reads the siblings on it and nothing scattered across the blocks' values.
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

 private:
  // A block in the contest with its value; index -1 is nobody.
  struct Entrant {
    double value;
    std::int32_t index;
  };
  static Entrant match(const Entrant& left, const Entrant& right);
  Entrant leaf(std::int32_t q) const;

  const double* values_;
  std::size_t leaves_ = 0;       // power of two >= Q
  std::vector<Entrant> node_;    // 1-based heap layout; leaves at leaves_ + q
};

#endif  // TILEVISTA_BLOCK_CONTEST_H
