#include "block_contest.h"

BlockContest::BlockContest(const double* values, std::int32_t Q) : values_(values) {
  if (Q <= 0) return;
  leaves_ = 1;
  while (leaves_ < static_cast<std::size_t>(Q)) leaves_ *= 2;
  node_.assign(2 * leaves_, -1);
  for (std::int32_t q = 0; q < Q; ++q) node_[leaves_ + static_cast<std::size_t>(q)] = q;
  for (std::size_t i = leaves_ - 1; i >= 1; --i) node_[i] = match(node_[2 * i], node_[2 * i + 1]);
}

// The left entrant always holds the lower indices, so it keeps ties.
std::int32_t BlockContest::match(std::int32_t left, std::int32_t right) const {
  const bool leftIn = left >= 0 && values_[left] > 0.0;
  const bool rightIn = right >= 0 && values_[right] > 0.0;
  if (!rightIn) return leftIn ? left : -1;
  if (!leftIn) return right;
  return values_[right] > values_[left] ? right : left;
}

void BlockContest::update(std::int32_t q) {
  for (std::size_t i = (leaves_ + static_cast<std::size_t>(q)) / 2; i >= 1; i /= 2)
    node_[i] = match(node_[2 * i], node_[2 * i + 1]);
}

std::int32_t BlockContest::winner() const {
  if (node_.empty()) return -1;
  // With a single block the root is its leaf, which has played no match.
  const std::int32_t w = node_[1];
  return w >= 0 && values_[w] > 0.0 ? w : -1;
}

std::int32_t BlockContest::winnerWithout(std::int32_t q) const {
  if (node_.empty()) return -1;
  std::int32_t best = -1;
  for (std::size_t i = leaves_ + static_cast<std::size_t>(q); i > 1; i /= 2) {
    const std::int32_t other = node_[i ^ 1];
    best = (i & 1) ? match(other, best) : match(best, other);
  }
  return best;
}
