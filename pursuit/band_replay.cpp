// A band's atoms in the order one atom after the other takes them, from the
// values and energies its blocks recorded; and, after a stop inside a band,
// the blocks that went past it brought back to the stop.
#include "banded_pursuit.h"
#include "block_contest.h"

// Takes the band's atoms in the order one atom after the other takes them: the
// largest candidate value first, the lower block index on ties. Applies the
// tol rule after each atom and the budget after each atom that did not stop on
// tol; records each atom in the curve when it is wanted. Leaves in taken_ the
// atoms each block keeps.
void BandedPursuit::replay() {
  std::vector<double> head(active_.size());
  taken_.assign(active_.size(), 0);
  for (std::size_t i = 0; i < active_.size(); ++i) {
    const BlockState& block = states_[static_cast<std::size_t>(active_[i])];
    head[i] = block.records > 0 ? records(block)[0].value : kRetired;
  }
  BlockContest contest(head.data(), static_cast<std::int32_t>(active_.size()));
  for (std::int32_t i = contest.winner(); i >= 0; i = contest.winner()) {
    const std::int32_t q = active_[static_cast<std::size_t>(i)];
    const BlockState& block = states_[q];
    const std::int32_t r = taken_[static_cast<std::size_t>(i)]++;
    setEnergy(q, records(block)[r].energy);
    if (curve_ != nullptr) {
      curve_->block.push_back(q);
      curve_->position.push_back(block.bandCount + r);
      curve_->energy.push_back(total_->rounded());
    }
    if (total_->below(request_.tol)) {
      stopped_ = true;
      stop_ = StopRule::kTol;
      residualEnergy_ = total_->indexOrderSum();
      return;
    }
    if (++iteration_ >= request_.atomLimit) {
      stopped_ = true;
      stop_ = StopRule::kBudget;
      return;
    }
    head[static_cast<std::size_t>(i)] =
        r + 1 < block.records ? records(block)[r + 1].value : kRetired;
    contest.update(i);
  }
}

// After a stop inside a band: every block keeps the atoms it had taken at the
// stop; those that went further drop the rest and rebuild their residual.
bool BandedPursuit::rollBack() {
  std::vector<std::int32_t> redo;
  for (std::size_t i = 0; i < active_.size(); ++i) {
    BlockState& block = states_[static_cast<std::size_t>(active_[i])];
    const std::int32_t keep = block.bandCount + taken_[i];
    if (block.count != keep) {
      statistics_.atomsRolledBack += static_cast<std::uint64_t>(block.count - keep);
      block.count = keep;
      redo.push_back(active_[i]);
    }
  }
  statistics_.orderSeconds += clock_.lap();
  const bool completed =
      crew_.run(redo.size(), crew_.grain(redo.size()), [&](std::size_t i, std::int32_t) {
        const auto q = static_cast<std::size_t>(redo[i]);
        rebuildResidual(setup_, data_[q], states_[q].count);
      });
  statistics_.rollBackSeconds += clock_.lap();
  return completed;
}
