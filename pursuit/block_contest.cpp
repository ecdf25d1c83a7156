#include "block_contest.h"

namespace {

const std::int32_t kNobody = -1;

}  // namespace

BlockContest::BlockContest(const double* values, std::int32_t Q) : values_(values) {
  if (Q <= 0) return;
  leaves_ = 1;
  while (leaves_ < static_cast<std::size_t>(Q)) leaves_ *= 2;
  node_.assign(2 * leaves_, Entrant{0.0, kNobody});
  for (std::int32_t q = 0; q < Q; ++q) node_[leaves_ + static_cast<std::size_t>(q)] = leaf(q);
  for (std::size_t i = leaves_ - 1; i >= 1; --i) node_[i] = match(node_[2 * i], node_[2 * i + 1]);
}

// Only values above 0.0 enter; NaN fails that test too.
BlockContest::Entrant BlockContest::leaf(std::int32_t q) const {
  return values_[q] > 0.0 ? Entrant{values_[q], q} : Entrant{0.0, kNobody};
}

// The left entrant always holds the lower indices, so it keeps ties.
BlockContest::Entrant BlockContest::match(const Entrant& left, const Entrant& right) {
  if (right.index == kNobody) return left;
  if (left.index == kNobody) return right;
  return right.value > left.value ? right : left;
}

void BlockContest::update(std::int32_t q) {
  std::size_t i = leaves_ + static_cast<std::size_t>(q);
  node_[i] = leaf(q);
  for (i /= 2; i >= 1; i /= 2) node_[i] = match(node_[2 * i], node_[2 * i + 1]);
}

std::int32_t BlockContest::winner() const { return node_.empty() ? kNobody : node_[1].index; }
