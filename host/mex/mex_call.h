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

/// mexFunction's work: the call, then its ending (endCall). Keeps the call's
/// statistics in *statistics when it is not null, for tests and benchmarks.
void callAndEnd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                PursuitStatistics* statistics);

#endif  // TILEVISTA_MEX_CALL_H
