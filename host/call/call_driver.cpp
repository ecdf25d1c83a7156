#include "call_driver.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "call_plan.h"
#include "memory_return.h"

namespace {

const char* const kProgramName = "TILEVISTA";

void printBanner(CallConsole& console, double tol) {
  char text[256];
  std::snprintf(text, sizeof text, "\n%s MEX is running for tol=%g, tol1=%g and tol2=%g.\n",
                kProgramName, tol, kTol1, kTol2);
  console.print(text);
  console.print("tol  -> required precision, distance ||f-f_approx||\n");
  console.print("tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n");
  console.print("tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n");
}

void printStop(CallConsole& console, const PursuitResult& result, double tol) {
  char text[256];
  if (result.stop == StopRule::kTol2) {
    std::snprintf(text, sizeof text, "\n \n %s stopped, max(|<f,q>|/||q||)<= tol2=%g.\n",
                  kProgramName, kTol2);
    console.print(text);
  } else if (result.stop == StopRule::kTol) {
    std::snprintf(text, sizeof text,
                  "\n \n We have have reached (tol) for approximation. tol= %f, max_err= %f", tol,
                  result.residualEnergy);
    console.print(text);
  }
}

PursuitRequest requestFor(const CheckedCall& call, const CallOptions& options) {
  PursuitRequest request;
  request.blocks = call.blocks.data();
  request.blockCount = call.blockCount;
  request.rows = call.rows;
  request.cols = call.cols;
  request.Dy = call.Dy;
  request.Ky = call.Ky;
  request.Dx = call.Dx;
  request.Kx = call.Kx;
  request.tol = call.tol;
  request.atomLimit = call.atomLimit;
  request.threads = options.threads;
  request.scoring = options.scoring.c_str();
  request.basis = options.basis.c_str();
  request.duals = options.duals;
  request.bases = options.bases;
  request.curve = options.curve;
  request.interrupted = options.interrupted;
  request.progress = options.progress;
  request.progressContext = options.progressContext;
  return request;
}

// The host's sink, noting the memory each block's outputs take: the blocks
// whose outputs come before free their working storage, which goes back to
// the system by the one rule before the host makes more arrays, which it would
// not place in it.
class ReturningSink : public PursuitSink {
 public:
  ReturningSink(PursuitSink& sink, const CallOptions& options, double N, MemoryReturn* memory)
      : sink_(sink), N_(N), perAtom_(3.0 + (options.duals ? N : 0.0) + (options.bases ? N : 0.0)),
        memory_(*memory) {}
  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override {
    memory_.note(sizeof(double) * (N_ + perAtom_ * m));
    return sink_.blockOutputs(q, m);
  }
  bool failsByUnwinding() const override { return sink_.failsByUnwinding(); }

 private:
  PursuitSink& sink_;
  const double N_, perAtom_;
  MemoryReturn& memory_;
};

// Runs the planned call into report; the banner first, the stop message after.
void run(CallHost& host, CallReport* report) {
  const CheckedCall& call = report->call;
  const double N = static_cast<double>(call.rows) * static_cast<double>(call.cols);
  MemoryReturn memory;
  // The blocks' copies and residuals and their orthonormal vectors go when
  // the call ends; all of what was freed after a failure.
  double freedAtEnd = HUGE_VAL;
  struct ReturnAtEnd {
    MemoryReturn& memory;
    const double& bytes;
    ~ReturnAtEnd() { memory.note(bytes); }
  } returnAtEnd{memory, freedAtEnd};
  try {
    ReturningSink sink(host.sink(call), report->options, N, &memory);
    printBanner(host.console(), call.tol);
    report->result = runBlockPursuit(requestFor(call, report->options), sink);
  } catch (const std::bad_alloc&) {
    report->outcome = CallOutcome::kOutOfMemory;
    report->rejection = outOfMemory(call, report->options.threads);
    return;
  }
  freedAtEnd = sizeof(double) * N * (2.0 * call.blockCount + static_cast<double>(report->result.atoms));
  if (!report->result.completed) {
    report->outcome = CallOutcome::kInterrupted;
    report->rejection = interruptedRejection();
    return;
  }
  printStop(host.console(), report->result, call.tol);
  report->outcome = CallOutcome::kDone;
}

}  // namespace

Rejection interruptedRejection() {
  return Rejection{error_id::kInterrupted, std::string(), kInterruptedMessage,
                   "the call was interrupted (Ctrl-C) before it finished; nothing was returned"};
}

const char* stopRuleName(StopRule stop) {
  switch (stop) {
    case StopRule::kTol: return "tol";
    case StopRule::kTol2: return "tol2";
    case StopRule::kBudget: return "budget";
  }
  return "";
}

CallReport driveCall(CallHost& host, const CallOptions& options) {
  CallReport report;
  report.options = options;
  // An interrupt may arrive while the host converts the inputs, before the
  // pursuit polls for it: the call then ends before any work.
  if (options.interrupted != nullptr && options.interrupted()) {
    report.outcome = CallOutcome::kInterrupted;
    report.rejection = interruptedRejection();
    return report;
  }
  if (!checkCall(host.inputs(), host.outputsWanted(), &report.call, &report.rejection) ||
      !planCall(report.call, &report.options, &report.rejection)) {
    const bool shortage = std::strcmp(report.rejection.identifier, error_id::kOutOfMemory) == 0;
    report.outcome = shortage ? CallOutcome::kOutOfMemory : CallOutcome::kRejected;
    return report;
  }
  host.accepted(report.call);
  run(host, &report);
  return report;
}
