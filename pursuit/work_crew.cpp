#include "work_crew.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#define TILEVISTA_POSIX_SIGNALS 1
#endif

namespace {

// How often the calling thread looks at the interrupt check while it waits for
// the workers.
const std::chrono::milliseconds kPollInterval(2);

#if defined(TILEVISTA_POSIX_SIGNALS)
// Blocks the asynchronous signals on the calling thread while workers are
// started, so that they inherit the mask; faults (SIGSEGV and the like) stay
// with the thread that causes them.
class AsyncSignalsBlocked {
 public:
  AsyncSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, fault);
    blocked_ = pthread_sigmask(SIG_BLOCK, &all, &saved_) == 0;
  }
  ~AsyncSignalsBlocked() {
    if (blocked_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }

 private:
  sigset_t saved_;
  bool blocked_ = false;
};
#else
struct AsyncSignalsBlocked {};
#endif

}  // namespace

WorkCrew::WorkCrew(std::int32_t threads, bool (*interrupted)()) : interrupted_(interrupted) {
  if (threads <= 1) return;
  workers_.reserve(static_cast<std::size_t>(threads - 1));
  AsyncSignalsBlocked blocked;
  for (std::int32_t member = 1; member < threads; ++member) {
    try {
      workers_.emplace_back(&WorkCrew::workerLoop, this, member);
    } catch (const std::system_error&) {
      break;  // the system has no more threads for us: work with those we have
    }
  }
}

WorkCrew::~WorkCrew() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  stop_.store(true, std::memory_order_relaxed);
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

std::size_t WorkCrew::grain(std::size_t items) const {
  const std::size_t grain = items / (static_cast<std::size_t>(size()) * 8);
  return std::max<std::size_t>(1, std::min<std::size_t>(grain, 64));
}

void WorkCrew::stopOnInterrupt() {
  if (!wasInterrupted_ && interrupted_ != nullptr && interrupted_()) {
    wasInterrupted_ = true;
    stop_.store(true, std::memory_order_relaxed);
  }
}

bool WorkCrew::proceed(std::int32_t member) {
  if (member == 0) stopOnInterrupt();
  return !stop_.load(std::memory_order_relaxed);
}

void WorkCrew::work(std::int32_t member) {
  try {
    while (!stop_.load(std::memory_order_relaxed)) {
      const std::size_t begin = next_.fetch_add(grain_, std::memory_order_relaxed);
      if (begin >= count_) break;
      const std::size_t end = count_ - begin < grain_ ? count_ : begin + grain_;
      if (!proceed(member)) return;
      (*task_)(begin, end, member);
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::current_exception();
    stop_.store(true, std::memory_order_relaxed);
  }
}

void WorkCrew::workerLoop(std::int32_t member) {
  std::uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
    }
    work(member);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--busy_ == 0) finished_.notify_one();
  }
}

bool WorkCrew::run(std::size_t count, std::size_t grain, const Task& task) {
  return runBeside(count, grain, task, {});
}

bool WorkCrew::runBeside(std::size_t count, std::size_t grain, const Task& task,
                         const std::function<void()>& own) {
  const RangeTask items = [&](std::size_t begin, std::size_t end, std::int32_t member) {
    for (std::size_t item = begin; item < end && proceed(member); ++item) task(item, member);
  };
  return runWith(count, grain, items, own);
}

bool WorkCrew::runRanges(std::size_t count, std::size_t grain, const RangeTask& task) {
  return runWith(count, grain, task, {});
}

bool WorkCrew::runWith(std::size_t count, std::size_t grain, const RangeTask& task,
                       const std::function<void()>& own) {
  stopOnInterrupt();
  if (stop_.load(std::memory_order_relaxed)) return !wasInterrupted_;
  task_ = &task;
  count_ = count;
  grain_ = grain < 1 ? 1 : grain;
  next_.store(0, std::memory_order_relaxed);
  if (!workers_.empty()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = static_cast<std::int32_t>(workers_.size());
      ++generation_;
    }
    wake_.notify_all();
  }
  if (own) {
    try {
      own();
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
      stop_.store(true, std::memory_order_relaxed);
    }
  }
  work(0);
  if (!workers_.empty()) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (busy_ > 0) {
      if (finished_.wait_for(lock, kPollInterval) == std::cv_status::timeout) {
        lock.unlock();
        stopOnInterrupt();
        lock.lock();
      }
    }
  }
  task_ = nullptr;
  if (error_) {
    std::exception_ptr error = error_;
    error_ = nullptr;
    std::rethrow_exception(error);
  }
  return !wasInterrupted_;
}
