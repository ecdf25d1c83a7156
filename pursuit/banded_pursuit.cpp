// The bands: where each ends (BandPlanner), every block of a band taking its
// atoms on the crew, and the check whether a band may hold a stop.
#include "banded_pursuit.h"

#include <algorithm>
#include <cmath>


#if defined(__GNUC__)
#define TILEVISTA_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define TILEVISTA_ALWAYS_INLINE inline
#endif

namespace {

// The lowest energy a block has at any moment of the band: its energy when the
// band began and after each of its atoms. NaN when all of them are NaN (the
// total is then NaN throughout); `mixed` when only some are.
double lowestEnergy(const BlockState& block, const AtomRecord* records, bool* mixed) {
  double lowest = block.bandEnergy;
  bool anyNaN = std::isnan(lowest), allNaN = anyNaN;
  for (std::int32_t r = 0; r < block.records; ++r) {
    const double e = records[r].energy;
    if (std::isnan(e)) {
      anyNaN = true;
      continue;
    }
    if (allNaN || std::isnan(lowest) || e < lowest) lowest = e;
    allNaN = false;
  }
  *mixed = anyNaN && !allNaN;
  return allNaN ? block.bandEnergy : lowest;
}

// Asks the processor for n doubles from p. Always inlined, here and in
// prefetchBlock: GCC judges a function whose only effect is __builtin_prefetch
// free of side effects and deletes every call of it.
TILEVISTA_ALWAYS_INLINE void prefetch(const double* p, std::size_t n) {
#if defined(__GNUC__)
  const std::size_t kValuesPerLine = 64 / sizeof(double);
  for (std::size_t i = 0; i < n; i += kValuesPerLine) __builtin_prefetch(p + i);
#else
  (void)p;
  (void)n;
#endif
}

}  // namespace

BandedPursuit::BandedPursuit(const PursuitSetup& setup, std::vector<BlockData>& data,
                             const PursuitRequest& request, WorkCrew& crew,
                             PursuitStatistics* statistics, PursuitCurve* curve)
    : setup_(setup),
      data_(data),
      Q_(static_cast<std::int32_t>(data.size())),
      request_(request),
      crew_(crew),
      states_(data.size()),
      energy_(data.size()),
      member_(static_cast<std::size_t>(crew.size())),
      windowSize_(setup.scorer->burst()),
      planner_(setup, kTol2),
      statistics_(*statistics),
      curve_(curve) {}

// Asks the processor for block q's residual, input and orthonormal vectors.
TILEVISTA_ALWAYS_INLINE void BandedPursuit::prefetchBlock(std::size_t q) const {
  const BlockData& block = data_[q];
  const std::size_t N = static_cast<std::size_t>(setup_.N);
  const std::size_t held = N * static_cast<std::size_t>(states_[q].count);
  prefetch(block.R, N);
  prefetch(block.F, N);
  if (held > 0) prefetch(block.storage->ortho(), held);
}

bool BandedPursuit::run(const double* const* sources) {
  clock_.lap();
  const bool scored = crew_.runRanges(
      data_.size(), crew_.grain(data_.size()),
      [&](std::size_t begin, std::size_t end, std::int32_t member) {
        double* scratch = scoringScratch(member);
        for (std::size_t q = begin; q < end && crew_.proceed(member); q += windowSize_) {
          const std::size_t burstEnd = std::min(end, q + windowSize_);
          for (std::size_t b = q; b < burstEnd; ++b) {
            startBlock(setup_, data_[b], sources[b], &states_[b]);
          }
          ScoringGate::Pass pass(setup_.scorer->gate());
          for (std::size_t b = q; b < burstEnd; ++b) {
            rescore(setup_, data_[b], scratch, &states_[b]);
          }
        }
      });
  if (!scored) return false;
  statistics_.scoringSeconds += clock_.lap();
  for (std::int32_t q = 0; q < Q_; ++q) energy_[q] = states_[q].energy;
  total_ = std::make_unique<EnergyTotal>(energy_.data(), Q_);

  for (;;) {
    // How far the total energy is above tol; +Inf when the tol rule cannot
    // end the pursuit (tol not above 0 or NaN, an energy NaN or +Inf).
    const double energy = total_->approximate();
    const double tol = request_.tol;
    const double gap = tol > 0.0 && energy < HUGE_VAL ? energy - tol : HUGE_VAL;
    const double threshold =
        planner_.next(states_.data(), Q_, gap, static_cast<double>(request_.atomLimit - iteration_),
                      static_cast<double>(iteration_));
    active_.clear();
    for (std::int32_t q = 0; q < Q_; ++q)
      if (states_[q].value >= threshold) active_.push_back(q);
    if (active_.empty()) {
      stop_ = StopRule::kTol2;
      statistics_.orderSeconds += clock_.lap();
      return true;
    }
    if (!runBand(threshold)) return false;
    if (stopped_) return rollBack();
    reportProgress();
    if (threshold <= kTol2) {
      stop_ = StopRule::kTol2;
      statistics_.orderSeconds += clock_.lap();
      return true;
    }
  }
}

// Every block of the band takes its atoms; then the band is either taken whole
// or replayed, up to its stop if it holds one.
bool BandedPursuit::runBand(double threshold) {
  for (Member& member : member_) member.log.clear();
  ++statistics_.bands;
  statistics_.orderSeconds += clock_.lap();
  const bool completed = crew_.runRanges(
      active_.size(), crew_.grain(active_.size()),
      [&](std::size_t begin, std::size_t end, std::int32_t member) {
        advanceBlocks(begin, end, member, threshold);
      });
  if (!completed) return false;
  statistics_.bandSeconds += clock_.lap();

  std::uint64_t atoms = 0;
  double before = 0.0, after = 0.0;
  bool mixed = false;
  for (const std::int32_t q : active_) {
    const BlockState& block = states_[q];
    atoms += static_cast<std::uint64_t>(block.records);
    bool blockMixed = false;
    setEnergy(q, lowestEnergy(block, records(block), &blockMixed));
    mixed = mixed || blockMixed;
    before += block.bandEnergy;
    after += block.energy;
  }
  // With every block at its lowest energy of the band the total is at most
  // what it is at any moment of the band: if even that is not below tol, the
  // tol rule cannot fire within the band.
  const bool tolMayStop = mixed || total_->mayBeBelow(request_.tol);
  const bool budgetMayStop = iteration_ + atoms >= request_.atomLimit;
  planner_.learn(before - after, static_cast<double>(atoms));
  if (!tolMayStop && !budgetMayStop && curve_ == nullptr) {
    for (const std::int32_t q : active_) setEnergy(q, states_[q].energy);
    iteration_ += static_cast<std::uint32_t>(atoms);
    return true;
  }
  // Replayed to find the stop, or for the curve, which needs every band's
  // order.
  for (const std::int32_t q : active_) setEnergy(q, states_[q].bandEnergy);
  ++statistics_.replayedBands;
  replay();
  return true;
}

// The blocks active_[begin, end) take their atoms down to the threshold, a
// window of them in step: every block of the window adds an atom, then they
// are all rescored in one burst behind the scoring gate. A block leaves the
// window when its value falls below the threshold or it retires, and the next
// block of the range takes its place. Each block's own steps are the same
// whatever the window; only the interleaving between blocks differs.
void BandedPursuit::advanceBlocks(std::size_t begin, std::size_t end, std::int32_t member,
                                  double threshold) {
  Member& own = member_[static_cast<std::size_t>(member)];
  if (own.atom.size() == 0) own.atom.allocate(static_cast<std::size_t>(setup_.N));
  if (own.window.empty()) own.window.resize(windowSize_);
  double* scratch = scoringScratch(member);
  std::size_t next = begin, open = 0;
  auto enter = [&](Slot& slot) {
    slot.q = static_cast<std::size_t>(active_[next++]);
    slot.records.clear();
    BlockState& block = states_[slot.q];
    block.bandCount = block.count;
    block.bandEnergy = block.energy;
    // The block to enter after it is this member's too, and its data cold:
    // start fetching it.
    if (next < end) prefetchBlock(static_cast<std::size_t>(active_[next]));
  };
  for (; open < own.window.size() && next < end; ++open) enter(own.window[open]);
  while (open > 0) {
    if (!crew_.proceed(member)) return;
    for (std::size_t w = 0; w < open; ++w) {
      Slot& slot = own.window[w];
      AtomRecord record;
      if (addAtom(setup_, data_[slot.q], own.atom.get(), &states_[slot.q], &record)) {
        slot.records.push_back(record);
      }
    }
    {
      ScoringGate::Pass pass(setup_.scorer->gate());
      for (std::size_t w = 0; w < open; ++w) {
        Slot& slot = own.window[w];
        rescore(setup_, data_[slot.q], scratch, &states_[slot.q]);
      }
    }
    for (std::size_t w = 0; w < open;) {
      Slot& slot = own.window[w];
      if (states_[slot.q].value >= threshold) {
        ++w;
        continue;
      }
      // Done for this band: its records go to the member's log in one piece.
      BlockState& block = states_[slot.q];
      block.logMember = member;
      block.logOffset = own.log.size();
      block.records = static_cast<std::int32_t>(slot.records.size());
      own.log.insert(own.log.end(), slot.records.begin(), slot.records.end());
      if (next < end) {
        enter(slot);
        ++w;
      } else {
        std::swap(slot, own.window[--open]);
      }
    }
  }
}

void BandedPursuit::reportProgress() const {
  if (request_.progress == nullptr) return;
  PursuitProgress progress;
  progress.atoms = iteration_;
  progress.energy = total_->approximate();
  progress.tol = request_.tol;
  request_.progress(progress, request_.progressContext);
}

// The member's scratch for scoring, made on its first use.
double* BandedPursuit::scoringScratch(std::int32_t member) {
  Member& own = member_[static_cast<std::size_t>(member)];
  if (own.scoring.get() == nullptr && setup_.scorer->scratchSize() > 0) {
    own.scoring.allocate(setup_.scorer->scratchSize());
  }
  return own.scoring.get();
}

const AtomRecord* BandedPursuit::records(const BlockState& block) const {
  return member_[static_cast<std::size_t>(block.logMember)].log.data() + block.logOffset;
}

void BandedPursuit::setEnergy(std::int32_t q, double value) {
  total_->replace(q, value);
  energy_[static_cast<std::size_t>(q)] = value;
}
