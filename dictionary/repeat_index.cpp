#include "repeat_index.h"

#include <cmath>
#include <cstddef>

#include "random_atoms.h"
#include "tilevista/dictionary.h"

namespace tilevista {

namespace {

// How far apart two repeating atoms' keys may lie: sqrt(2 kRepeatTolerance),
// with room for the rounding of unit norms and inner products.
const double kKeyWindow = 2.0 * std::sqrt(2.0 * kRepeatTolerance);

}  // namespace

RepeatIndex::RepeatIndex(std::int32_t n) : n_(n), direction_(static_cast<std::size_t>(n)) {
  // A fixed random direction: structured atoms (spikes, symmetric waves) then
  // seldom share a key.
  randomAtoms(n, 1, 0x5EEDu, direction_.data());
}

double RepeatIndex::key(const double* atom) const {
  double dot = 0.0;
  for (std::int32_t i = 0; i < n_; ++i) dot += direction_[i] * atom[i];
  return std::fabs(dot);
}

std::int32_t RepeatIndex::find(const double* atom, const std::vector<double>& matrix) const {
  const double k = key(atom);
  std::int32_t found = -1;
  for (auto it = keys_.lower_bound(k - kKeyWindow); it != keys_.end() && it->first <= k + kKeyWindow;
       ++it) {
    const std::int32_t column = it->second;
    if (found >= 0 && column > found) continue;
    const double* kept = matrix.data() + std::size_t(column) * std::size_t(n_);
    double dot = 0.0;
    for (std::int32_t i = 0; i < n_; ++i) dot += kept[i] * atom[i];
    if (std::fabs(dot) > 1.0 - kRepeatTolerance) found = column;
  }
  return found;
}

void RepeatIndex::add(const double* atom, std::int32_t column) { keys_.emplace(key(atom), column); }

}  // namespace tilevista
