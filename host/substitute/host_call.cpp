// Drives one call of a MEX entry point through the substitute host.
#include "host_call.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "call_scope.h"

namespace host {
namespace {

// Ends the running call however callMex is left, so that the arrays of the
// call are reclaimed and the host is ready for the next one.
class CallGuard {
 public:
  explicit CallGuard(ConsoleEcho echo) { detail::beginCall(echo); }
  ~CallGuard() { detail::endCall(); }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
};

}  // namespace

CallResult callMex(EntryPoint entry, const std::vector<const mxArray*>& inputs, int nlhs) {
  return callMex(entry, inputs, nlhs, ConsoleEcho{});
}

CallResult callMex(EntryPoint entry, const std::vector<const mxArray*>& inputs, int nlhs,
                   ConsoleEcho echo) {
  if (entry == nullptr) throw std::invalid_argument("host::callMex: no entry point");
  if (nlhs < 0) throw std::invalid_argument("host::callMex: negative number of outputs");
  if (inputs.size() > static_cast<std::size_t>(INT_MAX)) {
    throw std::invalid_argument("host::callMex: too many inputs");
  }
  for (const mxArray* a : inputs) {
    if (!detail::isLiveArray(a)) {
      throw std::invalid_argument("host::callMex: an input is not a live array");
    }
  }
  // The module gets its own list of input handles; the host always offers at
  // least one output slot, which receives ans when nlhs is 0.
  std::vector<const mxArray*> prhs(inputs);
  std::vector<mxArray*> plhs(static_cast<std::size_t>(std::max(nlhs, 1)), nullptr);
  CallResult result;
  result.outputs.reserve(plhs.size());

  CallGuard guard(echo);
  try {
    entry(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
  } catch (const detail::HostError& e) {
    result.failed = true;
    result.error = e.text();
    result.identifier = e.identifier();
  } catch (const std::exception& e) {
    result.failed = true;
    result.error = std::string("Unexpected C++ exception from the module: ") + e.what();
  } catch (...) {
    result.failed = true;
    result.error = "Unexpected C++ exception of unknown type from the module";
  }
  clearInterrupt();  // a request concerns the call it reached
  result.console = detail::takeConsole();
  if (!result.failed) {
    detail::handOver(plhs.data(), plhs.size());
    for (mxArray* a : plhs) result.outputs.emplace_back(a);
  }
  return result;  // the guard releases what the module created and did not return
}

}  // namespace host
