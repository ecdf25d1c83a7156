#include "thread_count.h"

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

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

bool threadsForCall(std::int64_t blocks, std::int32_t* threads, std::string* message) {
  const char* text = std::getenv("TILEVISTA_THREADS");
  std::int64_t wanted = 0;
  if (text != nullptr && *text != '\0') {
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
    wanted = value;
  }
  if (wanted == 0) wanted = availableProcessors();
  if (wanted > blocks) wanted = blocks;
  *threads = wanted < 1 ? 1 : static_cast<std::int32_t>(wanted);
  return true;
}
