// One call of the module, the same for every host: the arguments checked in
// the module's order, the call planned (threads, scoring, memory), the pursuit
// run once between the banner and the stop message, and the outcome told to
// the host: rejected, out of memory, interrupted or done. A host adapts its
// arrays, console and errors to this, and nothing more.
#ifndef TILEVISTA_CALL_DRIVER_H
#define TILEVISTA_CALL_DRIVER_H

#include <cstdint>
#include <string>

#include "call_checks.h"
#include "tilevista/pursuit.h"

/// The message of a call the user interrupted, for hosts that end it with an
/// error (identifier error_id::kInterrupted).
constexpr const char* kInterruptedMessage = "TILEVISTA_Mex: interrupted by the user";

/// The rejection of a call the user interrupted: kInterruptedMessage, and in
/// plain words.
Rejection interruptedRejection();

/// The host's console.
class CallConsole {
 public:
  virtual ~CallConsole() = default;
  /// Shows text as it is (it carries its own line feeds).
  virtual void print(const std::string& text) = 0;
};

/// How a call runs beyond its arguments: what the host wants, and what the
/// plan (planCall) decides.
struct CallOptions {
  std::int32_t threads = 1;  ///< from planCall
  std::string scoring;       ///< from planCall: PursuitRequest's scoring
  std::string basis;         ///< from planCall: PursuitRequest's basis
  bool duals = true;         ///< write the dual vectors
  bool bases = true;         ///< write the orthonormal vectors
  bool curve = false;        ///< record the serial order and energies
  bool (*interrupted)() = nullptr;
  void (*progress)(const PursuitProgress& progress, void* context) = nullptr;
  void* progressContext = nullptr;
};

/// What a host gives one call.
class CallHost {
 public:
  virtual ~CallHost() = default;
  /// The call's inputs.
  virtual const CallInputs& inputs() const = 0;
  /// Outputs the caller asked for; -1 for a host that returns all results at
  /// once (the output count is then not checked).
  virtual int outputsWanted() const { return -1; }
  /// Where the banner and the stop message go.
  virtual CallConsole& console() = 0;
  /// The sink of an accepted, planned call, made once: the host's output
  /// arrays may be created from here on. May throw std::bad_alloc.
  virtual PursuitSink& sink(const CheckedCall& call) = 0;
  /// Told of an accepted, planned call once, before its sink is made and
  /// before any work: a host may warn of it here (tolReadsAsPsnr, for one).
  /// An exception it throws ends the call and passes through driveCall.
  virtual void accepted(const CheckedCall& /*call*/) {}
};

/// How a call ended.
enum class CallOutcome {
  kRejected,     ///< the checks or the plan refused it: raise the rejection
  kOutOfMemory,  ///< memory ran out: raise the rejection, which says what the call needs
  kInterrupted,  ///< the interrupt check ended it
  kDone,         ///< the outputs are written
};

/// A call's outcome and what a host needs to report it.
struct CallReport {
  CallOutcome outcome = CallOutcome::kRejected;
  /// Unless done: the error to raise, after printing its detail line when
  /// the host prints one.
  Rejection rejection;
  CheckedCall call;       ///< the call as the checks accepted it
  CallOptions options;    ///< as planned
  PursuitResult result;   ///< when done: the pursuit's outcome
};

/// Checks, plans and runs one call; an interrupt pending when it starts ends
/// it before any work. The memory the call frees goes back to
/// the system by the module's one rule (memory_return.h).
/// @param host     the host's inputs, console and sink
/// @param options  in, what the host wants (threads and scoring are planned)
/// @return the outcome
/// Exceptions other than std::bad_alloc from the host's accepted, sink or console pass
/// through, after every thread of the call has been joined.
CallReport driveCall(CallHost& host, const CallOptions& options);

/// The stop rule's name for a host's result: "tol", "tol2" or "budget".
const char* stopRuleName(StopRule stop);

#endif  // TILEVISTA_CALL_DRIVER_H
