// The module's entry point, in four steps: check the arguments, size the call,
// run the pursuit once, hand the outputs over. Compiles unchanged against the
// substitute host, GNU Octave's mex.h and MATLAB's.
//
//   [approx, yIdx, xIdx, duals, coefs, ortho, total] =
//       TILEVISTA_Mex(blocks, Dy, Dx, tol, maxAtoms)
//
// The checks, the plan and the run are the host driver's (host/call/); what is
// the MEX interface's is here: reading the mxArrays, creating the outputs,
// printing and raising errors, and the interrupt.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "call_driver.h"
#include "index_columns.h"
#include "mex.h"
#include "mex_call.h"

// The host's interrupt check (Ctrl-C). Octave: the state its signal handler
// raises, from Octave's own header (only this build uses Octave's headers).
// MATLAB: the interrupt functions of its libut (link with -lut), which MATLAB
// exports but does not document; this branch is not tested here.
#if defined(octave_mex_h)
#include <csignal>
#include <octave/quit.h>
#elif defined(MATLAB_MEX_FILE)
extern "C" bool utIsInterruptPending(void);
extern "C" bool utSetInterruptPending(bool);
#endif

#if defined(__GNUC__)
#define TILEVISTA_EXPORT __attribute__((visibility("default")))
#else
#define TILEVISTA_EXPORT
#endif

namespace {

enum Output {
  kApproximation = 0,
  kYIndices,
  kXIndices,
  kDuals,
  kCoefficients,
  kOrthonormal,
  kTotalAtoms,
  kOutputCount
};

// What the checks need to know of an mxArray.
ArrayFacts factsOf(const mxArray* a) {
  ArrayFacts facts;
  if (a == nullptr) return facts;
  facts.exists = true;
  facts.isCell = mxIsCell(a);
  facts.isDouble = mxIsDouble(a);
  facts.isChar = mxIsChar(a);
  facts.isComplex = mxIsComplex(a);
  // Hosts name a sparse matrix's class after its elements ("double"): the
  // class test alone lets a sparse matrix through, mxIsSparse catches it.
  facts.isSparse = mxIsSparse(a);
  facts.className = mxGetClassName(a);
  facts.rows = static_cast<std::int64_t>(mxGetM(a));
  facts.cols = static_cast<std::int64_t>(mxGetN(a));
  if (facts.isDouble && !facts.isCell && !facts.isSparse && !facts.isComplex) {
    facts.values = mxGetPr(a);
  }
  return facts;
}

// The call's inputs as the checks see them.
class MexInputs : public CallInputs {
 public:
  MexInputs(int nrhs, const mxArray* prhs[]) : nrhs_(nrhs), prhs_(prhs) {}
  int count() const override { return nrhs_; }
  ArrayFacts input(int position) const override { return factsOf(prhs_[position]); }
  ArrayFacts block(std::int64_t i) const override {
    return factsOf(mxGetCell(prhs_[kBlocksInput], static_cast<mwIndex>(i)));
  }

 private:
  int nrhs_;
  const mxArray** prhs_;
};

// The outputs as host arrays: the cells are created up front, a block's
// matrices when the pursuit asks for them, uninitialised (it writes every
// element).
class MexOutputs : public PursuitSink {
 public:
  MexOutputs(const CheckedCall& call, mxArray* plhs[]) : call_(call), plhs_(plhs) {
    const auto d = static_cast<mwSize>(call.gridRows), nc = static_cast<mwSize>(call.gridCols);
    for (int o = kApproximation; o <= kOrthonormal; ++o) plhs_[o] = mxCreateCellMatrix(d, nc);
    plhs_[kTotalAtoms] = mxCreateDoubleMatrix(1, 1, mxREAL);
  }

  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override {
    const auto i = static_cast<mwIndex>(q);
    const auto N = static_cast<mwSize>(call_.rows) * static_cast<mwSize>(call_.cols);
    const auto M = static_cast<mwSize>(m);
    BlockOutputs out;
    out.approximation = create(kApproximation, i, static_cast<mwSize>(call_.rows),
                               static_cast<mwSize>(call_.cols));
    if (m == 0) return out;  // the other outputs keep an empty element
    double* y = create(kYIndices, i, M, 1);
    double* x = create(kXIndices, i, M, 1);
    indexColumns_.push_back({y, x, m});
    out.yIndex = indexSlots(y);
    out.xIndex = indexSlots(x);
    out.dual = create(kDuals, i, N, M);
    out.coefficients = create(kCoefficients, i, M, 1);
    out.ortho = create(kOrthonormal, i, N, M);
    return out;
  }

  /// The indices as MATLAB counts them, and the number of atoms: the call is done.
  void finish(double atoms) {
    for (const IndexColumns& c : indexColumns_) {
      widenToOneBasedDoubles(c.y, c.m);
      widenToOneBasedDoubles(c.x, c.m);
    }
    *mxGetPr(plhs_[kTotalAtoms]) = atoms;
  }

  // Only a host that says so: MATLAB may leave a call from a failed creation
  // by a long jump, past the frames that join the pursuit's threads.
#if defined(TILEVISTA_HOST_FAILS_BY_UNWINDING)
  bool failsByUnwinding() const override { return true; }
#endif

 private:
  double* create(int output, mwIndex i, mwSize m, mwSize n) {
    mxArray* a = mxCreateUninitNumericMatrix(m, n, mxDOUBLE_CLASS, mxREAL);
    mxSetCell(plhs_[output], i, a);
    return mxGetPr(a);
  }

  struct IndexColumns {
    double* y;
    double* x;
    std::int32_t m;
  };
  const CheckedCall& call_;
  mxArray** plhs_;
  std::vector<IndexColumns> indexColumns_;
};

class MexConsole : public CallConsole {
 public:
  void print(const std::string& text) override { mexPrintf("%s", text.c_str()); }
};

// How a call ends for the host, copied off the heap: a host may leave a call
// by a long jump, without running destructors, so nothing of the heap may be
// held when its error is raised.
struct MexEnding {
  CallOutcome outcome = CallOutcome::kDone;
  char identifier[64] = {};
  char detail[1024] = {};
  char message[1024] = {};
};

// Prints the error's detail line and raises it; does not return.
[[noreturn]] void raise(const MexEnding& ending) {
  if (ending.detail[0] != '\0') mexPrintf("%s", ending.detail);
  char message[sizeof ending.message];
  std::snprintf(message, sizeof message, "%s", ending.message);
  // A message that ends in a line feed keeps it at the end of the format, as
  // the hosts' own mexErrMsgTxt passes it on.
  const std::size_t length = std::strlen(message);
  if (length > 0 && message[length - 1] == '\n') {
    message[length - 1] = '\0';
    mexErrMsgIdAndTxt(ending.identifier, "%s\n", message);
  }
  mexErrMsgIdAndTxt(ending.identifier, "%s", message);
  std::abort();  // not reached: a host's error does not return
}

// Only looks, so the interrupt stays pending for endInterruptedCall. Polled
// on the calling thread at the start of the call and by the pursuit between
// units of work.
bool interruptPending() {
#if defined(octave_mex_h)
  // Raised above zero by Octave's SIGINT handler, which may run on another
  // thread: read it afresh every time.
  return *static_cast<volatile std::sig_atomic_t*>(&octave_interrupt_state) > 0;
#elif defined(MATLAB_MEX_FILE)
  return utIsInterruptPending();
#else
  return mexInterruptRequested();
#endif
}

// Ends a call the user interrupted, as the host ends its own interrupted
// functions; the host reclaims the arrays the call created. Does not return.
[[noreturn]] void endInterruptedCall() {
#if defined(octave_mex_h)
  // What Octave's own loops do at their interrupt checks (octave_quit): act on
  // the pending signals and throw octave::interrupt_exception, which unwinds to
  // the prompt without an error message and leaves Octave running.
  octave_signal_caught = 0;
  octave_handle_signal();
  throw octave::interrupt_exception();  // the interrupt was already taken in hand
#else
#if defined(MATLAB_MEX_FILE)
  utSetInterruptPending(false);  // this error is MATLAB's answer to the Ctrl-C
#endif
  mexErrMsgIdAndTxt(error_id::kInterrupted, "%s", kInterruptedMessage);
#endif
}

// The host's side of one call.
class MexHost : public CallHost {
 public:
  MexHost(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
      : nlhs_(nlhs), plhs_(plhs), inputs_(nrhs, prhs) {}
  const CallInputs& inputs() const override { return inputs_; }
  int outputsWanted() const override { return nlhs_; }
  CallConsole& console() override { return console_; }
  PursuitSink& sink(const CheckedCall& call) override {
    outputs_.reset(new MexOutputs(call, plhs_));
    return *outputs_;
  }
  MexOutputs& outputs() { return *outputs_; }

 private:
  int nlhs_;
  mxArray** plhs_;
  MexInputs inputs_;
  MexConsole console_;
  std::unique_ptr<MexOutputs> outputs_;
};

}  // namespace

CallReport callThroughMex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                          bool (*interrupted)()) {
  MexHost host(nlhs, plhs, nrhs, prhs);
  CallOptions options;
  options.interrupted = interrupted;
  CallReport report = driveCall(host, options);
  if (report.outcome == CallOutcome::kDone) {
    host.outputs().finish(static_cast<double>(report.result.atoms));
  }
  return report;
}

namespace {

MexEnding endingOf(const CallReport& report) {
  MexEnding ending;
  ending.outcome = report.outcome;
  std::snprintf(ending.identifier, sizeof ending.identifier, "%s", report.rejection.identifier);
  std::snprintf(ending.detail, sizeof ending.detail, "%s", report.rejection.detail.c_str());
  std::snprintf(ending.message, sizeof ending.message, "%s", report.rejection.message.c_str());
  return ending;
}

// Returns when the call is done; otherwise prints the error's detail line and
// raises the error, or ends the call as the host ends an interrupted one.
void endCall(const MexEnding& ending) {
  if (ending.outcome == CallOutcome::kDone) return;
  if (ending.outcome == CallOutcome::kInterrupted) endInterruptedCall();
  raise(ending);
}

}  // namespace

void callAndEnd(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                PursuitStatistics* statistics) {
  MexEnding ending;
  {
    // The report is gone by the end of this scope, before anything is raised.
    const CallReport report = callThroughMex(nlhs, plhs, nrhs, prhs, interruptPending);
    if (statistics != nullptr) *statistics = report.result.statistics;
    ending = endingOf(report);
  }
  endCall(ending);
}

extern "C" TILEVISTA_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs,
                                             const mxArray* prhs[]) {
  // A C++ exception must not cross into the host (MATLAB may not survive it):
  // a shortage comes back as the module's own error, stating what the call
  // needs; the host reclaims the arrays created so far.
  callAndEnd(nlhs, plhs, nrhs, prhs, nullptr);
}
