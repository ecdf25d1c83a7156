#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "blas_threads.h"
#include "tilevista/threads.h"

std::int32_t availableProcessors() {
#if defined(__linux__)
  // The affinity mask, which taskset, cgroups' cpusets and a host's own pinning
  // narrow; the processor count of the machine would oversubscribe them. The
  // set is sized for machines far beyond CPU_SETSIZE.
  const int kMaxCpus = 1 << 16;
  cpu_set_t* set = CPU_ALLOC(kMaxCpus);
  if (set != nullptr) {
    const std::size_t size = CPU_ALLOC_SIZE(kMaxCpus);
    int count = 0;
    if (sched_getaffinity(0, size, set) == 0) count = CPU_COUNT_S(size, set);
    CPU_FREE(set);
    if (count > 0) return count;
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<std::int32_t>(n) : 1;
}

bool readThreadSetting(std::int32_t* setting, std::string* message) {
  const char* text = std::getenv("TILEVISTA_THREADS");
  *setting = 0;
  if (text == nullptr || *text == '\0') return true;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\n')) ++end;
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > kMaxThreads) {
    std::string shown(text, std::min<std::size_t>(std::strlen(text), 40));
    if (shown.size() < std::strlen(text)) shown += "...";
    *message = "TILEVISTA_THREADS is '" + shown +
               "': it must be a whole number of threads from 1 to " +
               std::to_string(kMaxThreads) + ", or 0 or unset for every processor";
    return false;
  }
  *setting = static_cast<std::int32_t>(value);
  return true;
}

std::int32_t threadsForBlocks(std::int64_t blocks, std::int32_t setting) {
  if (!blasAllowsConcurrentCalls()) return 1;
  std::int64_t wanted = setting > 0 ? setting : availableProcessors();
  if (wanted > blocks) wanted = blocks;
  return wanted < 1 ? 1 : static_cast<std::int32_t>(wanted);
}

std::int32_t pursuitThreads(const PursuitSizes& sizes, std::int32_t setting) {
  std::int32_t threads = threadsForBlocks(sizes.blockCount, setting);
  const double available = availableBytes();
  if (available < 0.0) return threads;
  // Fewer threads than asked when only fewer score tables fit, so that a call
  // with large dictionaries runs on fewer threads rather than fail.
  const PursuitFootprint footprint = pursuitFootprint(sizes);
  const double fit = std::floor((available - footprint.blockBytes - footprint.callBytes) /
                                footprint.scoringBytes);
  if (!(fit >= 1.0)) return 0;
  if (fit < static_cast<double>(threads)) threads = static_cast<std::int32_t>(fit);
  return threads;
}
