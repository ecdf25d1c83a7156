#include "call_plan.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#if defined(__linux__)
#include <sys/resource.h>
#endif

#include "basis_route.h"
#include "separable_scorer.h"
#include "thread_count.h"

namespace {

const double kBytes = sizeof(double);

// Writes an amount of memory in bytes as "16.0 GB", "512.0 MB" or "31 kB".
std::string formatBytes(double bytes) {
  const double kB = 1024.0, MB = kB * 1024.0, GB = MB * 1024.0;
  char text[32];
  if (bytes >= GB) {
    std::snprintf(text, sizeof text, "%.1f GB", bytes / GB);
  } else if (bytes >= MB) {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / MB);
  } else {
    std::snprintf(text, sizeof text, "%.0f kB", std::ceil(bytes / kB));
  }
  return text;
}

// Doubles one thread needs to score a block (its score table and the
// intermediate product) and to build an atom.
double scoringDoubles(const CheckedCall& call) {
  const double yFirst = static_cast<double>(call.Ky) * static_cast<double>(call.cols);
  const double xFirst = static_cast<double>(call.rows) * static_cast<double>(call.Kx);
  return static_cast<double>(call.Ky) * static_cast<double>(call.Kx) +
         (yFirst < xFirst ? yFirst : xFirst) +
         static_cast<double>(call.rows) * static_cast<double>(call.cols);
}

// Doubles of the blocks' copies, their residuals and their approximations.
double blockDoubles(const CheckedCall& call) {
  const double N = static_cast<double>(call.rows) * static_cast<double>(call.cols);
  const double padded = std::ceil(N / 8.0) * 8.0;
  return static_cast<double>(call.blockCount) * (2.0 * padded + N);
}

// Bytes the system can still give this process, or a negative value when that
// cannot be told. On Linux an allocation beyond it may succeed and the process
// be killed when the memory is touched, so the module asks first.
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

}  // namespace

Rejection outOfMemory(const CheckedCall& call, std::int32_t threads) {
  const double N = static_cast<double>(call.rows) * static_cast<double>(call.cols);
  char text[512];
  std::snprintf(text, sizeof text,
                "Not enough memory for this call: it takes %s to score a block (%lld x %lld atom "
                "pairs) on each of %d thread%s, %s for the copies, residuals and approximations "
                "of %lld blocks, and up to %s for each block that receives atoms (%lld pixels x "
                "%lld atoms)",
                formatBytes(kBytes * scoringDoubles(call)).c_str(),
                static_cast<long long>(call.Ky), static_cast<long long>(call.Kx), threads,
                threads == 1 ? "" : "s", formatBytes(kBytes * blockDoubles(call)).c_str(),
                static_cast<long long>(call.blockCount),
                formatBytes(kBytes * 3.0 * N * call.capacity).c_str(),
                static_cast<long long>(N), static_cast<long long>(call.capacity));
  Rejection rejection;
  rejection.identifier = error_id::kOutOfMemory;
  rejection.message = text;
  return rejection;
}

bool planCall(const CheckedCall& call, CallOptions* options, Rejection* rejection) {
  const char* scoring = std::getenv("TILEVISTA_SCORING");
  if (scoring == nullptr) scoring = "";
  if (!SeparableScorer::isRouteName(scoring)) {
    rejection->identifier = error_id::kScoring;
    rejection->detail.clear();
    rejection->message = std::string("TILEVISTA_SCORING is '") + std::string(scoring).substr(0, 40) +
                         "': it must be blas, sse3, sse4, avx, avx2 or avx512, or unset for the "
                         "best the processor has";
    return false;
  }
  options->scoring = scoring;
  const char* basis = std::getenv("TILEVISTA_BASIS");
  if (basis == nullptr) basis = "";
  if (!isBasisRouteName(basis)) {
    rejection->identifier = error_id::kBasis;
    rejection->detail.clear();
    rejection->message = std::string("TILEVISTA_BASIS is '") + std::string(basis).substr(0, 40) +
                         "': it must be " + basisRouteNames() +
                         ", or unset for the best the processor has";
    return false;
  }
  options->basis = basis;
  std::string problem;
  std::int32_t wanted = 1;
  if (!threadsForCall(call.blockCount, &wanted, &problem)) {
    rejection->identifier = error_id::kThreads;
    rejection->detail.clear();
    rejection->message = problem;
    return false;
  }
  const double available = availableBytes();
  if (available >= 0.0) {
    // Fewer threads than asked when only fewer score tables fit, so that a call
    // with large dictionaries runs on fewer threads rather than fail.
    const double fit =
        std::floor((available - kBytes * blockDoubles(call)) / (kBytes * scoringDoubles(call)));
    if (!(fit >= 1.0)) {
      *rejection = outOfMemory(call, 1);
      return false;
    }
    if (fit < static_cast<double>(wanted)) wanted = static_cast<std::int32_t>(fit);
  }
  options->threads = wanted;
  return true;
}
