// The substitute host's interrupt: a request that a signal handler, another
// thread or a test makes, and that the module polls like a real host's
// interrupt check.
#include <atomic>

#include "host_call.h"
#include "mex.h"

namespace {

// Lock-free, so that setting it is safe inside a signal handler.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the request must be lock-free");

}  // namespace

bool mexInterruptRequested() { return requested.load(std::memory_order_relaxed); }

namespace host {

void requestInterrupt() noexcept { requested.store(true, std::memory_order_relaxed); }

void clearInterrupt() noexcept { requested.store(false, std::memory_order_relaxed); }

}  // namespace host
