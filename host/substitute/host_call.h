// In-process call of a MEX entry point through the substitute host: inputs in,
// outputs, console text and error text out. Used by the tests and by tools that
// embed the module without MATLAB or Octave.
#ifndef TILEVISTA_HOST_CALL_H
#define TILEVISTA_HOST_CALL_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "mex.h"

namespace host {

/// Owning handle of a host array; releases it with mxDestroyArray.
struct ArrayDeleter {
  void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

/// Signature of a MEX entry point.
using EntryPoint = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/// What one call produced.
struct CallResult {
  /// max(nlhs, 1) slots (the host always offers one, for ans); a slot the
  /// module did not fill is null. Empty after an error.
  std::vector<Array> outputs;
  /// Everything printed with mexPrintf during the call, in order.
  std::string console;
  /// The text given to mexErrMsgTxt / mexErrMsgIdAndTxt (formatted); for a C++
  /// exception that escaped the module, a line naming it. Empty on success.
  std::string error;
  /// The identifier of that error (mexErrMsgIdAndTxt), empty when it has none.
  std::string identifier;
  /// True when the call ended with a host error.
  bool failed = false;
};

/// Calls entry with the given inputs (live arrays, still owned by the caller)
/// and nlhs requested outputs. Arrays the module created and did not return are
/// released before this returns, also after an error. A C++ exception escaping
/// the module ends the call as a host error, as in the real host. Throws
/// std::invalid_argument for a null entry, a negative nlhs or an input that is
/// not a live array, and std::logic_error when called while a call is running.
CallResult callMex(EntryPoint entry, const std::vector<const mxArray*>& inputs, int nlhs);

/// Where the console text of a call goes as it is printed, besides
/// CallResult::console: write(text, size, context) runs once per mexPrintf, on
/// the thread that printed, with the text just printed. It must not throw.
struct ConsoleEcho {
  void (*write)(const char* text, std::size_t size, void* context) = nullptr;
  void* context = nullptr;
};

/// As callMex above, also passing each piece of console text to echo as it is
/// printed (a host that shows the module's progress while the call runs).
CallResult callMex(EntryPoint entry, const std::vector<const mxArray*>& inputs, int nlhs,
                   ConsoleEcho echo);

/// Asks the running call to stop, as Ctrl-C does in a real host: the module sees
/// it through mexInterruptRequested(). Async-signal-safe and callable from any
/// thread. A request stays until the call it reaches ends (callMex clears it
/// when it returns) or until clearInterrupt(); made between calls, it applies to
/// the next call.
void requestInterrupt() noexcept;

/// Withdraws a request that no call has acted on.
void clearInterrupt() noexcept;

/// From now on, the elements of every array created are placed `offset` bytes
/// past a 64-byte boundary (a multiple of 8 below 64), as a host may place
/// them: for tests that results do not depend on where arrays live. Throws
/// std::invalid_argument for another offset.
void setArrayPlacement(std::size_t offset);

/// Back to placing elements where the allocator puts them (the default).
void clearArrayPlacement();

/// Number of host arrays currently alive (created and not yet released),
/// counting cell elements. Lets tests check that calls reclaim what they create.
std::size_t liveArrayCount();

}  // namespace host

#endif  // TILEVISTA_HOST_CALL_H
