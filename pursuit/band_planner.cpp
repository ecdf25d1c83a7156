#include "band_planner.h"

#include <cmath>
#include <cstring>

namespace {

// Bins of candidate values: the exponent and the top kMantissaBits bits of the
// significand, i.e. 32 bins per octave, bounded by the bin edges, for
// kOctaves octaves below the largest value; lower values share the last bin.
const int kMantissaBits = 5;
const int kOctaves = 48;
const std::size_t kBins = (std::size_t{1} << kMantissaBits) * kOctaves + 1;

// Fraction of the remaining energy gap (or atom budget) a band is planned to
// use while the stop is far; the first band, planned without experience, uses
// less.
const double kSafeShare = 0.6;
const double kFirstSafeShare = 0.3;
// A band planned to contain the stop aims this far beyond it, so that it
// really does; it is chosen only when its predicted atoms are at most
// kFinalShare of all the atoms the pursuit will then have taken, which bounds
// the atoms rolled back.
const double kOvershoot = 1.15;
const double kFinalShare = 0.03;

// Key of a positive value: order-preserving, and equal for all values of one bin.
std::uint64_t binKey(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits >> (52 - kMantissaBits);
}

// The smallest value of the bin with this key.
double binEdge(std::uint64_t key) {
  const std::uint64_t bits = key << (52 - kMantissaBits);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::vector<double> columnNorms2(const double* D, std::int32_t length, std::int32_t count) {
  std::vector<double> norms(static_cast<std::size_t>(count));
  for (std::int32_t j = 0; j < count; ++j) {
    const double* column = D + static_cast<std::size_t>(j) * static_cast<std::size_t>(length);
    double sum = 0.0;
    for (std::int32_t i = 0; i < length; ++i) sum += column[i] * column[i];
    norms[static_cast<std::size_t>(j)] = sum;
  }
  return norms;
}

}  // namespace

BandPlanner::BandPlanner(const PursuitSetup& setup, double floor)
    : floor_(floor),
      cap_(setup.cap),
      dyNorm2_(columnNorms2(setup.Dy, setup.rows, setup.Ky)),
      dxNorm2_(columnNorms2(setup.Dx, setup.cols, setup.Kx)),
      binHeads_(kBins),
      binDrop_(kBins),
      binScaled_(kBins) {}

// The energy a block's next atom removes when its direction is new to the
// block: value^2 over the atom's squared norm (more when the atom shares
// directions with the block's earlier atoms).
double BandPlanner::headDrop(const BlockState& block) const {
  const double norm2 = dyNorm2_[static_cast<std::size_t>(block.yIndex)] *
                       dxNorm2_[static_cast<std::size_t>(block.xIndex)];
  const double drop = block.value * block.value / norm2;
  return std::isfinite(drop) ? drop : block.value * block.value;
}

double BandPlanner::next(const BlockState* blocks, std::int32_t Q, double energyGap,
                         double atomsLeft, double atomsTaken) {
  std::uint64_t top = 0;
  bool any = false;
  double room = 0.0;  // atoms the blocks still in the pursuit can take
  for (std::int32_t q = 0; q < Q; ++q) {
    if (blocks[q].value >= floor_) {
      const std::uint64_t key = binKey(blocks[q].value);
      if (!any || key > top) top = key;
      any = true;
      room += static_cast<double>(cap_ - blocks[q].count);
    }
  }
  if (!any) return floor_;

  std::fill(binHeads_.begin(), binHeads_.end(), 0.0);
  std::fill(binDrop_.begin(), binDrop_.end(), 0.0);
  std::fill(binScaled_.begin(), binScaled_.end(), 0.0);
  for (std::int32_t q = 0; q < Q; ++q) {
    const BlockState& block = blocks[q];
    if (!(block.value >= floor_)) continue;
    const std::uint64_t below = top - binKey(block.value);
    const std::size_t bin = below < kBins - 1 ? static_cast<std::size_t>(below) : kBins - 1;
    binHeads_[bin] += 1.0;
    binDrop_[bin] += headDrop(block) + (std::isfinite(block.energy) ? block.energy : 0.0);
    const double scaled = block.energy / (block.value * block.value);
    binScaled_[bin] += std::isfinite(scaled) ? scaled : 0.0;
  }

  // Walk down the bins, the band's threshold at each bin's lower edge: the
  // blocks whose value reaches it take part, each predicted to remove its
  // first atom's energy and the part of its energy that scales with the square
  // of its value above the threshold. `safe` is the lowest bin a band may reach
  // while staying well short of the stop, `cross` the first whose band is
  // predicted to reach it.
  const double share = learned_ ? kSafeShare : kFirstSafeShare;
  struct Choice {
    std::size_t bin;
    double heads, drop;
  };
  Choice safe{kBins, 0.0, 0.0}, cross{kBins, 0.0, 0.0}, first{kBins, 0.0, 0.0}, all{kBins, 0.0, 0.0};
  double heads = 0.0, sum = 0.0, scaled = 0.0;
  for (std::size_t bin = 0; bin < kBins; ++bin) {
    if (binHeads_[bin] == 0.0) continue;
    heads += binHeads_[bin];
    sum += binDrop_[bin];
    scaled += binScaled_[bin];
    const double edge = bin == kBins - 1 ? floor_ : binEdge(top - bin);
    const Choice here{bin, heads, std::max(0.0, sum - edge * edge * scaled)};
    if (first.bin == kBins) first = here;
    all = here;
    const double atoms = atomGain_ * here.heads, energy = energyGain_ * here.drop;
    if (energy <= share * energyGap && atoms <= share * atomsLeft) safe = here;
    if (cross.bin == kBins && (energy >= kOvershoot * energyGap || atoms >= atomsLeft)) cross = here;
  }

  Choice chosen = first;  // even the top bin is predicted to use most of what is left
  if (energyGap == HUGE_VAL && atomsLeft >= room) {
    // Only the floor can end the pursuit (the budget only once every block is
    // full): one band runs it to the end.
    chosen = all;
    chosen.bin = kBins - 1;
  } else if (cross.bin != kBins &&
             atomGain_ * cross.heads <= kFinalShare * (atomsTaken + atomGain_ * cross.heads)) {
    chosen = cross;
  } else if (safe.bin != kBins) {
    chosen = safe;
  }
  chosenHeads_ = chosen.heads;
  chosenDrop_ = chosen.drop;
  if (chosen.bin == kBins - 1) return floor_;
  const double edge = binEdge(top - chosen.bin);
  return edge > floor_ ? edge : floor_;
}

void BandPlanner::learn(double energyDrop, double atoms) {
  if (chosenHeads_ > 0.0 && atoms > 0.0) atomGain_ = atoms / chosenHeads_;
  if (chosenDrop_ > 0.0 && std::isfinite(chosenDrop_) && std::isfinite(energyDrop) &&
      energyDrop > 0.0) {
    energyGain_ = energyDrop / chosenDrop_;
  }
  learned_ = true;
}
