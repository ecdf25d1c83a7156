// One call of the module through the mx/mex interface, and how it ended: the
// gateway's work short of raising the outcome as the host's error. mexFunction
// raises it; tests and benchmarks read the call's statistics from it.
#ifndef TILEVISTA_MEX_CALL_H
#define TILEVISTA_MEX_CALL_H

#include "call_driver.h"
#include "mex.h"

/// Checks, plans and runs a call as mexFunction gets it; when it is done, the
/// seven outputs are in plhs. Raises no host error of its own (the host's
/// array creation may).
/// @param interrupted  the host's interrupt check, polled during the call
/// @return the outcome; unless done, plhs holds nothing the caller must keep
CallReport callThroughMex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                          bool (*interrupted)());

/// How a call ends for the host, copied off the heap: a host may leave a call
/// by a long jump, without running destructors, so nothing of the heap may be
/// held when its error is raised.
struct MexEnding {
  CallOutcome outcome = CallOutcome::kDone;
  char identifier[64] = {};
  char detail[1024] = {};
  char message[1024] = {};
};

/// The ending of a call as callThroughMex reported it.
MexEnding endingOf(const CallReport& report);

/// Returns when the call is done; otherwise prints the error's detail line and
/// raises the error, or ends the call as the host ends an interrupted one.
void endCall(const MexEnding& ending);

/// The host's interrupt check, as the gateway polls it.
bool interruptPending();

#endif  // TILEVISTA_MEX_CALL_H
