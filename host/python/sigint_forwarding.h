// Ctrl-C during a module call: while the call runs with the GIL released,
// Python's own SIGINT handler cannot act, so the signal is turned into a
// request that the pursuit polls.
#ifndef TILEVISTA_PYTHON_SIGINT_FORWARDING_H
#define TILEVISTA_PYTHON_SIGINT_FORWARDING_H

#include <csignal>

namespace tilevista_python {

/// For its lifetime, SIGINT sets the request read by sigintRequested() instead
/// of reaching the handler that was installed before; that handler is put back
/// on destruction. Install it on Python's main thread only: there Python's own
/// handler would have run.
class SigintForwarding {
 public:
  SigintForwarding();
  ~SigintForwarding();
  SigintForwarding(const SigintForwarding&) = delete;
  SigintForwarding& operator=(const SigintForwarding&) = delete;

 private:
  struct sigaction previous_ {};
  bool active_ = false;
};

/// Whether a forwarded SIGINT came since the last clearSigint(). Any thread.
bool sigintRequested() noexcept;

/// Withdraws a request that no call has acted on.
void clearSigint() noexcept;

}  // namespace tilevista_python

#endif  // TILEVISTA_PYTHON_SIGINT_FORWARDING_H
