#include "block_pursuit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "band_planner.h"
#include "blas_threads.h"
#include "block_contest.h"
#include "block_steps.h"
#include "block_storage.h"
#include "energy_total.h"
#include "pursuit_statistics.h"
#include "scoring_gate.h"
#include "work_crew.h"

// How the pursuit runs: in bands. A block's atoms, candidate values and
// residual energies depend on that block alone; the global choice (the block
// of largest candidate value takes the next atom) only decides the order in
// which the blocks take their atoms and where the pursuit stops. At the first
// moment of that order at which every candidate value is below some threshold,
// each block holds exactly its longest run of atoms taken at values at or above
// it. So for a falling sequence of thresholds every block takes, on its own and
// on whichever thread, its atoms down to the threshold, recording the value and
// its energy after each. Where a band may hold a stop (the tol rule, the
// budget), the global order within it is replayed from those records, exactly
// as one atom after the other would have gone, and the blocks that went past
// the stop are rolled back. The results therefore do not depend on the bands
// or on the number of threads.

#if defined(__GNUC__)
#define TILEVISTA_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define TILEVISTA_ALWAYS_INLINE inline
#endif

namespace {

const char* const kProgramName = "TILEVISTA";
const double kTol1 = 1e-7;  // printed; the refusal of dependent atoms uses it
// The pursuit stops once the largest candidate value is below kTol2.
const double kTol2 = 1e-10;

void printBanner(double tol) {
  mexPrintf("\n%s MEX is running for tol=%g, tol1=%g and tol2=%g.\n", kProgramName, tol, kTol1,
            kTol2);
  mexPrintf("tol  -> required precision, distance ||f-f_approx||\n");
  mexPrintf("tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n");
  mexPrintf("tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n");
}

enum class Stop { kNone, kTol, kTol2, kBudget };

PursuitStatistics lastStatistics;

// Seconds since the last call of lap() (or since construction).
class Lap {
 public:
  double lap() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    start_ = now;
    return seconds;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Blocks scored in one pass through the scoring gate.
const std::size_t kScoringBurst = 16;

// Items per hand-out: a few per member and round, so that a member that drew
// slow blocks is balanced by the others, and at most 64 blocks.
std::size_t grainFor(std::size_t items, std::int32_t members) {
  const std::size_t grain = items / (static_cast<std::size_t>(members) * 8);
  return std::max<std::size_t>(1, std::min<std::size_t>(grain, 64));
}

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

// The state of the whole pursuit between bands; owned by the calling thread.
class BandedPursuit {
 public:
  BandedPursuit(const PursuitShape& shape, std::vector<BlockData>& data, double tol,
                std::uint32_t limit, WorkCrew& crew, PursuitStatistics* statistics)
      : shape_(shape),
        data_(data),
        Q_(static_cast<std::int32_t>(data.size())),
        tol_(tol),
        limit_(limit),
        crew_(crew),
        states_(data.size()),
        energy_(data.size()),
        member_(static_cast<std::size_t>(crew.size())),
        gate_(crew.size() > 1 && shape.scorer->contends()),
        windowSize_(crew.size() > 1 && shape.scorer->contends() ? kScoringBurst : 1),
        planner_(shape, kTol2),
        statistics_(*statistics) {}

  // Runs the pursuit to its stop. False when interrupted.
  bool run() {
    clock_.lap();
    const bool scored = crew_.runRanges(
        data_.size(), grainFor(data_.size(), crew_.size()),
        [&](std::size_t begin, std::size_t end, std::int32_t member) {
          double* scratch = scoringScratch(member);
          for (std::size_t q = begin; q < end && crew_.proceed(member); q += windowSize_) {
            const std::size_t burstEnd = std::min(end, q + windowSize_);
            for (std::size_t b = q; b < burstEnd; ++b) startBlock(shape_, data_[b], &states_[b]);
            ScoringGate::Pass pass(gate_);
            for (std::size_t b = q; b < burstEnd; ++b) rescore(shape_, data_[b], scratch, &states_[b]);
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
      const double gap = tol_ > 0.0 && energy < HUGE_VAL ? energy - tol_ : HUGE_VAL;
      const double threshold = planner_.next(states_.data(), Q_, gap,
                                             static_cast<double>(limit_ - iteration_),
                                             static_cast<double>(iteration_));
      active_.clear();
      for (std::int32_t q = 0; q < Q_; ++q)
        if (states_[q].value >= threshold) active_.push_back(q);
      if (active_.empty()) {
        stop_ = Stop::kTol2;
        statistics_.orderSeconds += clock_.lap();
        return true;
      }
      if (!runBand(threshold)) return false;
      if (stop_ != Stop::kNone) return rollBack();
      if (threshold <= kTol2) {
        stop_ = Stop::kTol2;
        statistics_.orderSeconds += clock_.lap();
        return true;
      }
    }
  }

  Stop stop() const { return stop_; }
  double maxErr() const { return maxErr_; }
  const std::vector<BlockState>& states() const { return states_; }

 private:
  // Every block of the band takes its atoms; then the band is either taken
  // whole or replayed up to its stop.
  bool runBand(double threshold) {
    for (Member& member : member_) member.log.clear();
    ++statistics_.bands;
    statistics_.orderSeconds += clock_.lap();
    const bool completed = crew_.runRanges(
        active_.size(), grainFor(active_.size(), crew_.size()),
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
    const bool tolMayStop = mixed || total_->mayBeBelow(tol_);
    const bool budgetMayStop = iteration_ + atoms >= limit_;
    planner_.learn(before - after, static_cast<double>(atoms));
    if (!tolMayStop && !budgetMayStop) {
      for (const std::int32_t q : active_) setEnergy(q, states_[q].energy);
      iteration_ += static_cast<std::uint32_t>(atoms);
      return true;
    }
    for (const std::int32_t q : active_) setEnergy(q, states_[q].bandEnergy);
    ++statistics_.replayedBands;
    replay();
    return true;
  }

  // The blocks active_[begin, end) take their atoms down to the threshold, a
  // window of them in step: every block of the window adds an atom, then they
  // are all rescored in one burst behind the scoring gate. A block leaves the
  // window when its value falls below the threshold or it retires, and the
  // next block of the range takes its place. Each block's own steps are the
  // same whatever the window; only the interleaving between blocks differs.
  void advanceBlocks(std::size_t begin, std::size_t end, std::int32_t member, double threshold) {
    Member& own = member_[static_cast<std::size_t>(member)];
    if (own.atom.empty()) own.atom.resize(static_cast<std::size_t>(shape_.N));
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
        if (addAtom(shape_, data_[slot.q], own.atom.data(), &states_[slot.q], &record)) {
          slot.records.push_back(record);
        }
      }
      {
        ScoringGate::Pass pass(gate_);
        for (std::size_t w = 0; w < open; ++w) {
          Slot& slot = own.window[w];
          rescore(shape_, data_[slot.q], scratch, &states_[slot.q]);
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

  // Takes the band's atoms in the order one atom after the other takes them:
  // the largest candidate value first, the lower block index on ties. Applies
  // the tol rule after each atom and the budget after each atom that did not
  // stop on tol. Leaves in taken_ the atoms each block keeps.
  void replay() {
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
      if (total_->below(tol_)) {
        stop_ = Stop::kTol;
        maxErr_ = total_->indexOrderSum();
        return;
      }
      if (++iteration_ >= limit_) {
        stop_ = Stop::kBudget;
        return;
      }
      head[static_cast<std::size_t>(i)] = r + 1 < block.records ? records(block)[r + 1].value : kRetired;
      contest.update(i);
    }
  }

  // After a stop inside a band: every block keeps the atoms it had taken at the
  // stop; those that went further drop the rest and rebuild their residual.
  bool rollBack() {
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
    const bool completed = crew_.run(redo.size(), grainFor(redo.size(), crew_.size()),
                                     [&](std::size_t i, std::int32_t) {
                                       const auto q = static_cast<std::size_t>(redo[i]);
                                       rebuildResidual(shape_, data_[q], states_[q].count);
                                     });
    statistics_.rollBackSeconds += clock_.lap();
    return completed;
  }

  // Asks the processor for block q's residual, input and orthonormal vectors.
  // Always inlined, here and below: GCC judges a function whose only effect is
  // __builtin_prefetch free of side effects and deletes every call of it.
  TILEVISTA_ALWAYS_INLINE void prefetchBlock(std::size_t q) const {
    const BlockData& block = data_[q];
    const std::size_t N = static_cast<std::size_t>(shape_.N);
    const std::size_t held = N * static_cast<std::size_t>(states_[q].count);
    prefetch(block.R, N);
    prefetch(block.F, N);
    if (held > 0) prefetch(block.storage->ortho(), held);
  }

  TILEVISTA_ALWAYS_INLINE static void prefetch(const double* p, std::size_t n) {
#if defined(__GNUC__)
    const std::size_t kValuesPerLine = 64 / sizeof(double);
    for (std::size_t i = 0; i < n; i += kValuesPerLine) __builtin_prefetch(p + i);
#else
    (void)p;
    (void)n;
#endif
  }

  // The member's scratch for scoring, allocated on first use.
  double* scoringScratch(std::int32_t member) {
    Member& own = member_[static_cast<std::size_t>(member)];
    if (own.scoring.get() == nullptr) own.scoring = AlignedDoubles(shape_.scorer->scratchSize());
    return own.scoring.get();
  }

  const AtomRecord* records(const BlockState& block) const {
    return member_[static_cast<std::size_t>(block.logMember)].log.data() + block.logOffset;
  }

  void setEnergy(std::int32_t q, double value) {
    total_->replace(q, value);
    energy_[static_cast<std::size_t>(q)] = value;
  }

  const PursuitShape& shape_;
  std::vector<BlockData>& data_;
  const std::int32_t Q_;
  const double tol_;
  const std::uint32_t limit_;
  WorkCrew& crew_;

  std::vector<BlockState> states_;
  std::vector<double> energy_;  // the energies the total holds, in block order
  std::unique_ptr<EnergyTotal> total_;
  // What each crew member writes while it works, on cache lines of its own: a
  // log appended to at every atom must not share a line with another's.
  // A block in a member's window, with its records of the band so far.
  struct Slot {
    std::size_t q = 0;
    std::vector<AtomRecord> records;
  };
  struct alignas(64) Member {
    std::vector<double> atom;      // scratch for one atom
    std::vector<AtomRecord> log;   // the band's records
    std::vector<Slot> window;      // the blocks it works on in step
    AlignedDoubles scoring;        // scratch for scoring a block
  };
  std::vector<Member> member_;
  ScoringGate gate_;
  // Blocks a member works on in step: several where the gate is closed, so
  // that each pass through it scores several blocks; one otherwise, so that a
  // block's data stays in the nearest cache from one of its atoms to the next.
  const std::size_t windowSize_;
  std::vector<std::int32_t> active_;           // blocks of the band, in index order
  std::vector<std::int32_t> taken_;            // per active block: atoms kept at the stop
  BandPlanner planner_;
  PursuitStatistics& statistics_;
  Lap clock_;
  std::uint32_t iteration_ = 0;
  Stop stop_ = Stop::kNone;
  double maxErr_ = 0.0;
};

// A new m x n double matrix at element i of cell; its data. Not zero-filled:
// the crew writes every element (the dual vectors too: each column is
// written before anything reads it), and the fill, which touches fresh pages
// for the first time, would cost this thread as much as the copies cost the
// crew.
double* createOutput(mxArray* cell, mwIndex i, mwSize m, mwSize n) {
  mxArray* a = mxCreateUninitNumericMatrix(m, n, mxDOUBLE_CLASS, mxREAL);
  mxSetCell(cell, i, a);
  return mxGetPr(a);
}

// Fills the outputs of the blocks that received atoms, a part at a time: the
// host arrays of a part are created on this thread with no worker running,
// then the crew fills them. A part holds about an eighth of the atoms, so the
// outputs and the blocks' working storage overlap only that much.
bool finish(const PursuitShape& shape, std::vector<BlockData>& data,
            const std::vector<BlockState>& states, mxArray* approximationCell,
            mxArray* yIndexCell, mxArray* xIndexCell, mxArray* dualCell,
            mxArray* coefficientCell, mxArray* orthoCell, const PursuitControl& control,
            PursuitStatistics* statistics) {
  Lap clock;
  const auto Q = static_cast<std::int32_t>(data.size());
  const auto N = static_cast<mwSize>(shape.N);
  double atoms = 0.0;
  for (const BlockState& block : states) atoms += block.count;
  const double partAtoms = std::max(atoms / 8.0, 1.0);

  std::vector<std::int32_t> part;
  std::vector<BlockOutputs> outputs;
  for (std::int32_t t = 0; t < Q;) {
    part.clear();
    outputs.clear();
    double held = 0.0;
    for (; t < Q && held < partAtoms; ++t) {
      const std::int32_t m = states[t].count;
      if (m == 0) continue;
      if (control.interrupted != nullptr && control.interrupted()) return false;
      const auto i = static_cast<mwIndex>(t);
      const auto M = static_cast<mwSize>(m);
      BlockOutputs out;
      out.yIndex = createOutput(yIndexCell, i, M, 1);
      out.xIndex = createOutput(xIndexCell, i, M, 1);
      out.ortho = createOutput(orthoCell, i, N, M);
      out.dual = createOutput(dualCell, i, N, M);
      out.coefficients = createOutput(coefficientCell, i, M, 1);
      out.approximation = mxGetPr(mxGetCell(approximationCell, i));
      part.push_back(t);
      outputs.push_back(out);
      held += m;
    }
    statistics->outputSeconds += clock.lap();
    WorkCrew crew(std::min<std::int32_t>(control.threads, static_cast<std::int32_t>(part.size())),
                  control.interrupted);
    std::vector<std::vector<double>> atom(static_cast<std::size_t>(crew.size()));
    const bool completed =
        crew.run(part.size(), grainFor(part.size(), crew.size()),
                 [&](std::size_t j, std::int32_t member) {
                   std::vector<double>& scratch = atom[static_cast<std::size_t>(member)];
                   if (scratch.empty()) scratch.resize(static_cast<std::size_t>(shape.N));
                   const auto q = static_cast<std::size_t>(part[j]);
                   finishBlock(shape, data[q], states[q].count, outputs[j], scratch.data());
                 });
    statistics->finishSeconds += clock.lap();
    if (!completed) return false;
  }
  return true;
}

}  // namespace

PursuitStatistics lastPursuitStatistics() { return lastStatistics; }

int runBlockPursuit(mxArray* approximationCell, const mxArray* blockCell, const double* Dy,
                    const double* Dx, double tol, std::int32_t Q, std::int32_t cols,
                    std::int32_t rows, std::int32_t Kx, std::int32_t Ky, mxArray* yIndexCell,
                    mxArray* xIndexCell, mxArray* dualCell, mxArray* coefficientCell,
                    mxArray* orthoCell, std::int32_t maxAtoms, std::int32_t* atomCount,
                    mxArray* totalAtoms, const PursuitControl& control) {
  double* total = mxGetPr(totalAtoms);
  *total = 0.0;

  // The caller guarantees that N, Kx * Ky, N * cap and cap * Q fit a 32-bit
  // signed integer; the products are still formed in 64 bits.
  PursuitShape shape;
  shape.Dy = Dy;
  shape.Dx = Dx;
  shape.rows = rows;
  shape.cols = cols;
  shape.Ky = Ky;
  shape.Kx = Kx;
  shape.N = static_cast<std::int32_t>(std::int64_t{cols} * rows);
  const std::int64_t atomPairs = std::int64_t{Kx} * Ky;
  shape.cap = static_cast<std::int32_t>(atomPairs < shape.N ? atomPairs : shape.N);
  const std::size_t blockSize = static_cast<std::size_t>(shape.N);

  std::uint32_t limit = static_cast<std::uint32_t>(shape.cap) * static_cast<std::uint32_t>(Q);
  if (static_cast<std::uint32_t>(maxAtoms) > limit) {
    mexPrintf("The minimum number of atoms %i must be greater than 0 and less than %i!\n",
              maxAtoms, static_cast<int>(limit));
    return kPursuitRejected;
  }
  if (maxAtoms != 0) limit = static_cast<std::uint32_t>(maxAtoms);
  if (tol < 0) {
    mexPrintf("Tol is %g is should be positive!\n", tol);
    return kPursuitRejected;
  }

  // The blocks' data, looked up once on this thread; the residuals of all
  // blocks, one after the other.
  std::unique_ptr<double[]> residual(new double[blockSize * static_cast<std::size_t>(Q)]);
  std::vector<BlockStorage> storage(static_cast<std::size_t>(Q));
  std::vector<BlockData> data(static_cast<std::size_t>(Q));
  for (std::int32_t i = 0; i < Q; ++i) {
    data[i].F = mxGetPr(mxGetCell(blockCell, static_cast<mwIndex>(i)));
    data[i].R = residual.get() + blockSize * static_cast<std::size_t>(i);
    data[i].storage = &storage[i];
  }
  printBanner(tol);

  SeparableScorer scorer(Dy, Dx, Ky, Kx, rows, cols);
  shape.scorer = &scorer;
  SingleThreadedBlas singleThreadedBlas;
  const std::int32_t threads =
      blasAllowsConcurrentCalls() ? std::max<std::int32_t>(1, std::min(control.threads, Q)) : 1;
  std::vector<BlockState> states;
  Stop stop = Stop::kNone;
  double maxErr = 0.0;
  PursuitStatistics& statistics = lastStatistics;
  statistics = PursuitStatistics();
  statistics.scoringRoute = scorer.route();
  {
    WorkCrew crew(threads, control.interrupted);
    statistics.threads = crew.size();
    BandedPursuit pursuit(shape, data, tol, limit, crew, &statistics);
    if (!pursuit.run()) return kPursuitInterrupted;
    stop = pursuit.stop();
    maxErr = pursuit.maxErr();
    states = pursuit.states();
  }
  if (stop == Stop::kTol2) {
    mexPrintf("\n \n %s stopped, max(|<f,q>|/||q||)<= tol2=%g.\n", kProgramName, kTol2);
  } else if (stop == Stop::kTol) {
    mexPrintf("\n \n We have have reached (tol) for approximation. tol= %f, max_err= %f", tol,
              maxErr);
  }
  for (std::int32_t t = 0; t < Q; ++t) {
    atomCount[t] = states[t].count;
    *total += states[t].count;
  }
  statistics.atomsKept = static_cast<std::uint64_t>(*total);
  PursuitControl finishing = control;
  finishing.threads = threads;
  if (!finish(shape, data, states, approximationCell, yIndexCell, xIndexCell, dualCell,
              coefficientCell, orthoCell, finishing, &statistics)) {
    return kPursuitInterrupted;
  }
  return kPursuitRan;
}
