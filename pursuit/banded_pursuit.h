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
//
// The bands and the blocks' advance are in banded_pursuit.cpp; the replay of a
// band's order and the rollback after a stop in band_replay.cpp.
#ifndef TILEVISTA_BANDED_PURSUIT_H
#define TILEVISTA_BANDED_PURSUIT_H

#include <cstdint>
#include <memory>
#include <vector>

#include "band_planner.h"
#include "block_steps.h"
#include "energy_total.h"
#include "statistics_clock.h"
#include "tilevista/pursuit.h"
#include "work_crew.h"

/// The state of the whole pursuit between bands; owned by the calling thread.
class BandedPursuit {
 public:
  /// @param setup       in, the call's sizes and dictionaries
  /// @param data        in/out, every block's arrays
  /// @param request     in, tol, atom limit, progress report; kept by reference
  /// @param crew        the threads that work on the blocks
  /// @param statistics  out, counts and times of the run
  /// @param curve       out, the serial order and energies; null: not recorded
  BandedPursuit(const PursuitSetup& setup, std::vector<BlockData>& data,
                const PursuitRequest& request, WorkCrew& crew, PursuitStatistics* statistics,
                PursuitCurve* curve);

  /// Copies the blocks in and runs the pursuit to its stop.
  /// @param sources  in, the host's Q blocks
  /// @return false when interrupted
  bool run(const double* const* sources);

  StopRule stop() const { return stop_; }
  /// With StopRule::kTol, the total squared residual the tol rule compared.
  double residualEnergy() const { return residualEnergy_; }
  /// Every block's state at the stop: its count is the atoms it keeps.
  const std::vector<BlockState>& states() const { return states_; }

 private:
  bool runBand(double threshold);
  void advanceBlocks(std::size_t begin, std::size_t end, std::int32_t member, double threshold);
  void replay();
  bool rollBack();
  void reportProgress() const;
  void prefetchBlock(std::size_t q) const;
  double* scoringScratch(std::int32_t member);
  const AtomRecord* records(const BlockState& block) const;
  void setEnergy(std::int32_t q, double value);

  // A block in a member's window, with its records of the band so far.
  struct Slot {
    std::size_t q = 0;
    std::vector<AtomRecord> records;
  };
  // What each crew member writes while it works, on cache lines of its own: a
  // log appended to at every atom must not share a line with another's.
  struct alignas(64) Member {
    AlignedDoubles atom;          // scratch for one atom
    AlignedDoubles scoring;       // scratch for scoring a block
    std::vector<AtomRecord> log;  // the band's records
    std::vector<Slot> window;     // the blocks it works on in step
  };

  const PursuitSetup& setup_;
  std::vector<BlockData>& data_;
  const std::int32_t Q_;
  const PursuitRequest& request_;
  WorkCrew& crew_;

  std::vector<BlockState> states_;
  std::vector<double> energy_;  // the energies the total holds, in block order
  std::unique_ptr<EnergyTotal> total_;
  std::vector<Member> member_;
  // Blocks a member works on in step: as many as it scores in one pass through
  // the scoring's gate (BlockScorer::burst).
  const std::size_t windowSize_;
  std::vector<std::int32_t> active_;  // blocks of the band, in index order
  std::vector<std::int32_t> taken_;   // per active block: atoms kept at the stop
  BandPlanner planner_;
  PursuitStatistics& statistics_;
  PursuitCurve* curve_;
  StatisticsClock clock_;
  std::uint32_t iteration_ = 0;
  bool stopped_ = false;
  StopRule stop_ = StopRule::kTol2;
  double residualEnergy_ = 0.0;
};

#endif  // TILEVISTA_BANDED_PURSUIT_H
