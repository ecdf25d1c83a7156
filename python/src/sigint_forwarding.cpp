// SIGINT as an interrupt request of the substitute host.
#include "sigint_forwarding.h"

#include "host_call.h"

namespace tilevista_python {
namespace {

// Runs in signal context: host::requestInterrupt only stores a lock-free flag.
extern "C" void requestInterruptOnSignal(int) { host::requestInterrupt(); }

}  // namespace

SigintForwarding::SigintForwarding() {
  struct sigaction forward {};
  forward.sa_handler = requestInterruptOnSignal;
  sigemptyset(&forward.sa_mask);
  // Restart interrupted system calls: the call itself decides when to stop.
  forward.sa_flags = SA_RESTART;
  active_ = sigaction(SIGINT, &forward, &previous_) == 0;
}

SigintForwarding::~SigintForwarding() {
  if (active_) sigaction(SIGINT, &previous_, nullptr);
}

}  // namespace tilevista_python
