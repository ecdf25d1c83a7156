// What the last pursuit did besides its results: how its work was cut up and
// where its time went. Read by the benchmarks; the module does not export it.
#ifndef TILEVISTA_PURSUIT_STATISTICS_H
#define TILEVISTA_PURSUIT_STATISTICS_H

#include <chrono>
#include <cstdint>

/// Counts and times of one call of the pursuit.
struct PursuitStatistics {
  std::int32_t threads = 0;          ///< threads that worked, the calling one included
  const char* scoringRoute = "";     ///< how blocks were scored: SeparableScorer::route()
  const char* basisRoute = "";       ///< how blocks grew their bases: basisRouteName()
  std::int32_t bands = 0;            ///< bands run
  std::int32_t replayedBands = 0;    ///< bands whose order was replayed atom by atom
  std::uint64_t atomsKept = 0;       ///< atoms in the outputs
  std::uint64_t atomsRolledBack = 0; ///< atoms computed beyond the stop and dropped
  double scoringSeconds = 0.0;       ///< first scoring of every block (threads)
  double bandSeconds = 0.0;          ///< blocks taking their atoms (threads)
  double orderSeconds = 0.0;         ///< planning, checks and replays between bands (calling thread)
  double rollBackSeconds = 0.0;      ///< residuals rebuilt after the stop (threads)
  double outputSeconds = 0.0;        ///< host arrays of the outputs created (calling thread alone)
  double outputBesideSeconds = 0.0;  ///< the same while the workers filled others (within finishSeconds)
  double finishSeconds = 0.0;        ///< outputs filled: duals, coefficients, approximations (threads)
};

/// Seconds since the last call of lap() (or since construction), for the
/// phase times above.
class StatisticsClock {
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

/// The statistics of the last pursuit run in this process (zero before any).
/// Not synchronised: read it when no call is running.
PursuitStatistics lastPursuitStatistics();

#endif  // TILEVISTA_PURSUIT_STATISTICS_H
