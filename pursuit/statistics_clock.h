// Seconds between the moments the pursuit reads its phase times.
#ifndef TILEVISTA_STATISTICS_CLOCK_H
#define TILEVISTA_STATISTICS_CLOCK_H

#include <chrono>

/// Seconds since the last call of lap() (or since construction), for the
/// phase times of PursuitStatistics.
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

#endif  // TILEVISTA_STATISTICS_CLOCK_H
