#include "sigint_forwarding.h"

#include <atomic>

namespace tilevista_python {
namespace {

// Lock-free, so that setting it is safe inside a signal handler.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the request must be lock-free");

extern "C" void requestOnSignal(int) { requested.store(true, std::memory_order_relaxed); }

}  // namespace

SigintForwarding::SigintForwarding() {
  struct sigaction forward {};
  forward.sa_handler = requestOnSignal;
  sigemptyset(&forward.sa_mask);
  // Restart interrupted system calls: the call itself decides when to stop.
  forward.sa_flags = SA_RESTART;
  active_ = sigaction(SIGINT, &forward, &previous_) == 0;
}

SigintForwarding::~SigintForwarding() {
  if (active_) sigaction(SIGINT, &previous_, nullptr);
}

bool sigintRequested() noexcept { return requested.load(std::memory_order_relaxed); }

void clearSigint() noexcept { requested.store(false, std::memory_order_relaxed); }

}  // namespace tilevista_python
