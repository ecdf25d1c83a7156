// Ranges of blocks on threads (block_threads.h).
#include "block_threads.h"

#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tilevista {

void forBlockRanges(std::int64_t count, std::int32_t threads,
                    const std::function<void(std::int32_t, std::int64_t, std::int64_t)>& work) {
  if (threads > count) threads = static_cast<std::int32_t>(count > 0 ? count : 1);
  if (threads <= 1) {
    work(0, 0, count);
    return;
  }
  std::exception_ptr failure;
  std::mutex guard;
  const auto run = [&](std::int32_t t) {
    const std::int64_t begin = count * t / threads;
    const std::int64_t end = count * (t + 1) / threads;
    try {
      work(t, begin, end);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(guard);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> crew;
  try {
    for (std::int32_t t = 1; t < threads; ++t) crew.emplace_back(run, t);
  } catch (...) {
    for (std::thread& thread : crew) thread.join();
    throw;
  }
  run(0);
  for (std::thread& thread : crew) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tilevista
