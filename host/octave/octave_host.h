// What the functions of TILEVISTA_Mex.oct share as a host of the module: the
// inputs read where Octave keeps them, the outputs made as Octave's own
// matrices and cells from the start (they reach the caller without a copy),
// the console, the interrupt, and the module's errors raised as Octave errors.
#ifndef TILEVISTA_OCTAVE_HOST_H
#define TILEVISTA_OCTAVE_HOST_H

#include <octave/oct.h>

#include <octave/Cell.h>

#include <cstdint>
#include <string>
#include <vector>

#include "call_checks.h"
#include "call_driver.h"

namespace octave_host {

/// The positional arguments of a call (blocks, Dy, Dx, tol, maxAtoms) as the
/// checks see them. The values of a double matrix are read where Octave keeps
/// them; the object holds the arrays they point into (a scalar or a range has
/// no array of its own until asked), so it must outlive the call.
class OctaveInputs : public CallInputs {
 public:
  /// @param args   in, the function's arguments; must outlive this object
  /// @param count  how many of them are the module's positional inputs
  OctaveInputs(const octave_value_list& args, int count);
  int count() const override { return count_; }
  ArrayFacts input(int position) const override;
  ArrayFacts block(std::int64_t i) const override;

 private:
  const octave_value_list& args_;
  int count_;
  Cell blocks_;
  // Arrays whose values the checked call points to; a vector of handles, so
  // that growing it moves handles, not the values.
  mutable std::vector<NDArray> keep_;
};

/// The outputs of a call as Octave matrices: the pursuit writes a block's
/// values into them, and they go into cells shaped as the blocks, sharing their
/// storage. What the caller declines (duals, orthonormal vectors) is never
/// made.
class OctaveOutputs : public PursuitSink {
 public:
  /// @param call  in, the checked call; must outlive the sink
  OctaveOutputs(const CheckedCall& call, bool duals, bool bases);
  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override;
  /// Octave's allocations and interrupts fail by C++ exceptions.
  bool failsByUnwinding() const override { return true; }

  /// Once the call is done: the indices counted from 1, as Octave counts.
  void finish();

  /// The filled outputs, each a cell shaped as the blocks: approximations,
  /// y indices, x indices, coefficients, and duals and bases when wanted.
  Cell approximations() const { return cellOf(approximations_); }
  Cell yIndices() const { return cellOf(yIndices_); }
  Cell xIndices() const { return cellOf(xIndices_); }
  Cell coefficients() const { return cellOf(coefficients_); }
  Cell duals() const { return cellOf(duals_); }
  Cell bases() const { return cellOf(bases_); }

 private:
  Cell cellOf(const std::vector<Matrix>& output) const;

  const CheckedCall& call_;
  bool wantDuals_, wantBases_;
  std::vector<Matrix> approximations_, yIndices_, xIndices_, coefficients_, duals_, bases_;
};

/// The Octave console: the module's text goes to Octave's standard output.
class OctaveConsole : public CallConsole {
 public:
  void print(const std::string& text) override;
};

/// A call of the module from one of the .oct's functions: the host driver's
/// CallHost over the inputs, outputs and console above.
class OctaveCall : public CallHost {
 public:
  /// @param outputs  outputs the caller asked for, -1 when the function
  ///                 returns all results at once
  OctaveCall(const octave_value_list& args, int count, int outputs, bool duals, bool bases);
  const CallInputs& inputs() const override { return inputs_; }
  int outputsWanted() const override { return outputs_; }
  CallConsole& console() override { return console_; }
  PursuitSink& sink(const CheckedCall& call) override;
  /// The outputs, once the sink was made.
  OctaveOutputs& outputs() { return *sink_; }

 private:
  OctaveInputs inputs_;
  int outputs_;
  bool duals_, bases_;
  OctaveConsole console_;
  std::unique_ptr<OctaveOutputs> sink_;
};

/// True while Octave has an interrupt (Ctrl-C) pending; only looks.
bool interruptPending();

/// Starts a call: acts on a pending interrupt as Octave's own functions do,
/// and holds back memory for the message of an error raised when memory has
/// run out (Octave builds the message on the heap, and a call that ran out of
/// memory would otherwise show it cut short, or none).
void startCall();

/// Ends a call the user interrupted as Octave's own loops end on Ctrl-C: back
/// to the prompt, no error message. Does not return.
[[noreturn]] void endInterrupted();

/// Raises an Octave error "NAME: TEXT" with the identifier, as Octave's MEX
/// layer raises a module's error: a text that ends in a line feed asks for the
/// message alone, without a traceback. Lets go of the memory startCall held
/// back first. Does not return.
[[noreturn]] void raiseError(const char* identifier, const char* name, const std::string& text);

}  // namespace octave_host

#endif  // TILEVISTA_OCTAVE_HOST_H
