// The running call as the substitute host's array layer sees it: which arrays
// the module created, what it printed, and the error it raises. Shared only by
// host_arrays.cpp, which keeps the state, and host_call.cpp, which drives one
// call; the module never sees this header.
#ifndef TILEVISTA_HOST_CALL_SCOPE_H
#define TILEVISTA_HOST_CALL_SCOPE_H

#include <cstddef>
#include <string>
#include <utility>

#include "host_call.h"
#include "mex.h"

namespace host::detail {

/// The error raised by mexErrMsgTxt and mexErrMsgIdAndTxt. Deliberately not
/// derived from std::exception: a module that catches std::exception (or
/// std::bad_alloc) must not be able to swallow a host error by accident.
class HostError {
 public:
  /// text: in, the message as the module gave it (already formatted);
  /// identifier: in, the one mexErrMsgIdAndTxt gave, or empty.
  explicit HostError(std::string text, std::string identifier = std::string())
      : text_(std::move(text)), identifier_(std::move(identifier)) {}
  /// The message, unchanged.
  const std::string& text() const { return text_; }
  const std::string& identifier() const { return identifier_; }

 private:
  std::string text_;
  std::string identifier_;
};

/// Starts a call: from now on every created array belongs to the call and
/// mexPrintf output is collected, and also passed to echo when it has a write
/// function. Throws std::logic_error when a call is already running (nested
/// calls are not supported).
void beginCall(ConsoleEcho echo = {});

/// Moves the text printed so far in the running call out (empty if none).
std::string takeConsole();

/// Hands the arrays of a finished call over to the caller; they are no longer
/// reclaimed by endCall. outputs: in, count handles (null entries allowed),
/// each of which must be an array the module created during this call and did
/// not store in a cell; anything else is reported as host misuse (abort).
void handOver(mxArray* const* outputs, std::size_t count);

/// Ends the running call: releases every array created during it that was not
/// handed over, together with the elements of such cell arrays. Does nothing
/// when no call is running.
void endCall() noexcept;

/// True when a is a live array (created and not yet released).
bool isLiveArray(const mxArray* a);

}  // namespace host::detail

#endif  // TILEVISTA_HOST_CALL_SCOPE_H
