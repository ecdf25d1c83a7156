#include "tilevista/footprint.h"

#include <cmath>
#include <cstdio>

#if defined(__linux__)
#include <sys/resource.h>
#endif

PursuitFootprint pursuitFootprint(const PursuitSizes& s) {
  const double kBytes = sizeof(double);
  const double rows = s.rows, cols = s.cols, Ky = s.Ky, Kx = s.Kx;
  const double N = rows * cols;
  const double atomPairs = Ky * Kx;
  PursuitFootprint f;
  f.capacity = static_cast<std::int32_t>(atomPairs < N ? atomPairs : N);
  const double yFirst = Ky * cols, xFirst = rows * Kx;
  f.scoringBytes = kBytes * (atomPairs + (yFirst < xFirst ? yFirst : xFirst) + N);
  f.blockBytes = kBytes * static_cast<double>(s.blockCount) * (2.0 * std::ceil(N / 8.0) * 8.0 + N);
  f.callBytes = kBytes * (2.0 * rows * Ky + cols * Kx);
  f.blockAtomBytes = kBytes * 3.0 * N * f.capacity;
  return f;
}

double availableBytes() {
#if defined(__linux__)
  double available = -1.0;
  if (std::FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, meminfo) != nullptr) {
      unsigned long long kB = 0;
      if (std::sscanf(line, "MemAvailable: %llu kB", &kB) == 1) {
        available = 1024.0 * static_cast<double>(kB);
        break;
      }
    }
    std::fclose(meminfo);
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const double cap = static_cast<double>(limit.rlim_cur);
    if (available < 0.0 || cap < available) available = cap;
  }
  return available;
#else
  return -1.0;
#endif
}
