// A checked and planned call run once, the same for every host: the banner,
// the pursuit, and the stop message, on the host's console.
#ifndef TILEVISTA_CALL_RUN_H
#define TILEVISTA_CALL_RUN_H

#include <cstdint>
#include <string>

#include "block_pursuit.h"
#include "call_checks.h"

/// The message of a call the user interrupted, for hosts that end it with an
/// error (identifier error_id::kInterrupted).
constexpr const char* kInterruptedMessage = "TILEVISTA_Mex: interrupted by the user";

/// The host's console.
class CallConsole {
 public:
  virtual ~CallConsole() = default;
  /// Shows text as it is (it carries its own line feeds).
  virtual void print(const std::string& text) = 0;
};

/// What a host wants of a call beyond its arguments.
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

/// The stop rule's name for a host's result: "tol", "tol2" or "budget".
const char* stopRuleName(StopRule stop);

/// Prints the banner, runs the pursuit and, when it stopped on tol or tol2,
/// prints the stop message.
/// @param call     in, the checked call
/// @param options  in, threads and what the host wants
/// @param sink     gives the arrays the results go to
/// @param console  where the banner and stop message go
/// @return the pursuit's outcome (not completed when interrupted)
/// @throws std::bad_alloc and whatever the sink throws, as runBlockPursuit
PursuitResult runCall(const CheckedCall& call, const CallOptions& options, PursuitSink& sink,
                      CallConsole& console);

#endif  // TILEVISTA_CALL_RUN_H
