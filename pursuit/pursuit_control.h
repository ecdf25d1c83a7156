// What the caller of the pursuit decides beyond the call's arguments: how many
// threads work on it and how the calling thread learns that the user wants the
// call to end.
#ifndef TILEVISTA_PURSUIT_CONTROL_H
#define TILEVISTA_PURSUIT_CONTROL_H

#include <cstdint>

/// Results of runBlockPursuit.
enum PursuitResult : int {
  kPursuitRan = 0,          ///< outputs filled
  kPursuitRejected = 1,     ///< tol or maxAtoms rejected; the reason has been printed
  kPursuitInterrupted = 2,  ///< ended on an interrupt; no output holds a result
};

/// How one pursuit runs.
struct PursuitControl {
  /// Threads working on the pursuit, the calling thread included (>= 1; 1 runs
  /// everything on the calling thread and creates no thread). The outputs do not
  /// depend on it.
  std::int32_t threads = 1;
  /// Polled on the calling thread only, between units of work of at most a few
  /// milliseconds; true ends the pursuit with kPursuitInterrupted once every
  /// thread has stopped. Null: never interrupted. Must not raise a host error.
  bool (*interrupted)() = nullptr;
};

#endif  // TILEVISTA_PURSUIT_CONTROL_H
