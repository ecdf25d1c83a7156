// The threads of one call: the calling thread and its workers, running one task
// at a time over a range of items.
#ifndef TILEVISTA_WORK_CREW_H
#define TILEVISTA_WORK_CREW_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

/// A crew of `threads` members: member 0 is the calling thread, the others are
/// workers started by the constructor and joined by the destructor, so no
/// thread outlives the crew. Workers block the asynchronous signals, so a
/// host's handlers (Ctrl-C) run on the calling thread. Only the calling thread
/// polls the interrupt check; workers learn of it through the crew.
class WorkCrew {
 public:
  /// A task: does `item` as crew member `member` (0 .. size() - 1).
  using Task = std::function<void(std::size_t item, std::int32_t member)>;
  /// A task over a hand-out: does the items [begin, end) as crew member `member`.
  using RangeTask = std::function<void(std::size_t begin, std::size_t end, std::int32_t member)>;

  /// @param threads      members wanted, the calling thread included (>= 1);
  ///                     fewer when the system refuses to start more threads
  /// @param interrupted  polled on the calling thread; true stops the crew (may be null)
  WorkCrew(std::int32_t threads, bool (*interrupted)());
  /// Stops and joins every worker.
  ~WorkCrew();
  WorkCrew(const WorkCrew&) = delete;
  WorkCrew& operator=(const WorkCrew&) = delete;

  /// Members, the calling thread included.
  std::int32_t size() const { return static_cast<std::int32_t>(workers_.size()) + 1; }

  /// Items per hand-out for a run over `items` items: a few per member and
  /// round, so that a member that drew slow items is balanced by the others,
  /// and at most 64.
  std::size_t grain(std::size_t items) const;

  /// Does task(item, member) for every item in [0, count), handing out `grain`
  /// consecutive items at a time, and returns once every member has finished.
  /// The calling thread takes part and polls the interrupt check between items
  /// and while it waits. Rethrows the first exception a task threw, after every
  /// member has stopped.
  /// @return false when the crew was stopped by the interrupt check (now or in
  ///         an earlier run); items may then be left undone
  bool run(std::size_t count, std::size_t grain, const Task& task);

  /// As run(), but each hand-out of up to `grain` consecutive items goes to the
  /// task whole; the task polls proceed() itself between its steps.
  bool runRanges(std::size_t count, std::size_t grain, const RangeTask& task);

  /// As run(), but the calling thread first does `own()`, work of its own that
  /// must stay on it (such as asking a host for the next items' arrays), and
  /// then joins the others on the items (none: as run()). An exception from
  /// own() stops the crew and is rethrown once every member has stopped.
  bool runBeside(std::size_t count, std::size_t grain, const Task& task,
                 const std::function<void()>& own);

  /// For tasks with long items, between their steps: true while the crew should
  /// go on. On the calling thread it polls the interrupt check.
  bool proceed(std::int32_t member);


 private:
  void workerLoop(std::int32_t member);
  void work(std::int32_t member);
  void stopOnInterrupt();
  bool runWith(std::size_t count, std::size_t grain, const RangeTask& task,
               const std::function<void()>& own);

  bool (*interrupted_)();
  std::vector<std::thread> workers_;

  std::mutex mutex_;
  std::condition_variable wake_;      // workers: a new task or the end
  std::condition_variable finished_;  // caller: the last worker is done
  std::uint64_t generation_ = 0;      // counts tasks handed out
  std::int32_t busy_ = 0;             // workers still on the current task
  bool quit_ = false;
  std::exception_ptr error_;

  // The current task; written by runRanges() before the workers are woken.
  const RangeTask* task_ = nullptr;
  std::size_t count_ = 0;
  std::size_t grain_ = 1;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  bool wasInterrupted_ = false;  // calling thread only
};

#endif  // TILEVISTA_WORK_CREW_H
