// One thread at a time through the block scoring, where the BLAS needs it: on
// a scoring route that contends (block_scorer.h; the scoring's generated
// kernels need no gate). OpenBLAS built with threads takes a process-wide lock and touches a
// shared table of work buffers in every gemm call: threads scoring at the same
// time make each call several times slower (the lock's futex calls, the
// table's cache lines moving between processors). Passing the gate lets a
// thread score several blocks in a row while the others compute, so that state
// moves once per burst instead of once per call.
#ifndef TILEVISTA_SCORING_GATE_H
#define TILEVISTA_SCORING_GATE_H

#include <atomic>
#include <thread>

class ScoringGate {
 public:
  /// An open gate: every thread through at once.
  ScoringGate() = default;

  /// @param closed  true to let one thread through at a time; false leaves
  ///                every thread through at once. Set before the gate is used.
  void close(bool closed) { closed_ = closed; }

  /// True when it lets one thread through at a time.
  bool closed() const { return closed_; }

  /// Holds the gate for one burst of scoring (a scope).
  class Pass {
   public:
    explicit Pass(ScoringGate& gate) : gate_(gate) { gate_.enter(); }
    ~Pass() { gate_.leave(); }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

   private:
    ScoringGate& gate_;
  };

 private:
  // A spinning lock: a burst lasts microseconds, less than putting a thread to
  // sleep and waking it would cost. After a while it yields, in case the
  // holder lost its processor (more threads than processors).
  void enter() {
    if (!closed_) return;
    for (int spins = 0; held_.exchange(true, std::memory_order_acquire); ++spins) {
      while (held_.load(std::memory_order_relaxed)) {
        if (++spins > kSpinsBeforeYield) {
          std::this_thread::yield();
        } else {
#if defined(__x86_64__) || defined(__i386__)
          __builtin_ia32_pause();
#endif
        }
      }
    }
  }
  void leave() {
    if (closed_) held_.store(false, std::memory_order_release);
  }

  static const int kSpinsBeforeYield = 4000;
  bool closed_ = false;
  std::atomic<bool> held_{false};
};

#endif  // TILEVISTA_SCORING_GATE_H
