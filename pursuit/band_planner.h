// Where the pursuit's bands end. A band lets every block take atoms on its own
// while its best candidate value stays at or above the band's threshold; the
// threshold decides only how the work is cut up, never the result. Wide bands
// keep each block's data in cache for several atoms and give the threads long
// runs of work; the band in which the pursuit stops must be narrow, since the
// atoms its blocks take beyond the stop are computed in vain and rolled back.
#ifndef TILEVISTA_BAND_PLANNER_H
#define TILEVISTA_BAND_PLANNER_H

#include <cstdint>
#include <vector>

#include "block_steps.h"

/// Chooses band thresholds from the blocks' current candidates: how many would
/// take part and how much energy their atoms would remove, scaled by what the
/// bands before actually did.
class BandPlanner {
 public:
  /// @param setup  in, the call's dictionaries and sizes (the atoms' norms are
  ///               taken from it)
  /// @param floor  the lowest threshold: the value below which the pursuit stops
  BandPlanner(const PursuitSetup& setup, double floor);

  /// The next band's threshold, in [floor, the largest candidate value] (floor
  /// when no value reaches it).
  /// @param blocks      in, Q block states
  /// @param energyGap   total residual energy minus tol; +Inf when tol cannot end
  ///                    the pursuit
  /// @param atomsLeft   atoms the budget still allows (>= 1)
  /// @param atomsTaken  atoms taken so far
  double next(const BlockState* blocks, std::int32_t Q, double energyGap, double atomsLeft,
              double atomsTaken);

  /// What the band last chosen by next() did.
  /// @param energyDrop  the energy its atoms removed (ignored unless finite)
  /// @param atoms       the atoms its blocks took
  void learn(double energyDrop, double atoms);

 private:
  double headDrop(const BlockState& block) const;

  double floor_;
  std::int32_t cap_;
  std::vector<double> dyNorm2_, dxNorm2_;  // squared norms of the dictionaries' columns
  // Observed / predicted energy drop and atoms per block taking part, for the
  // last band; before the first band, a first atom per block at its own norm.
  double energyGain_ = 1.0, atomGain_ = 1.0;
  bool learned_ = false;
  // Prediction of the band last chosen, before the gains.
  double chosenDrop_ = 0.0, chosenHeads_ = 0.0;
  // Candidates per bin of value, highest values first, and their energy drops.
  std::vector<double> binHeads_, binDrop_, binScaled_;
};

#endif  // TILEVISTA_BAND_PLANNER_H
