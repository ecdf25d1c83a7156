// TILEVISTA_Mex in the Octave function file: the module's call as the MEX file
// makes it under Octave (the same inputs, outputs, console text, messages and
// identifiers; tests/octave/test_oct_against_mex.m holds the two to that), over
// Octave's own values, so that the outputs reach the caller without the copies
// Octave's MEX layer makes.
#include <octave/oct.h>

#include "call_driver.h"
#include "octave_functions.h"
#include "octave_host.h"

namespace {

const char* const kName = "TILEVISTA_Mex";

enum Output { kApproximation = 0, kYIndices, kXIndices, kDuals, kCoefficients, kOrthonormal,
              kTotalAtoms, kOutputs };

octave_value_list tilevistaMex(const octave_value_list& args, int nargout) {
  octave_host::startCall();
  octave_host::OctaveCall host(args, args.length(), nargout, true, true);
  CallOptions options;
  options.interrupted = octave_host::interruptPending;
  const CallReport report = driveCall(host, options);
  if (report.outcome == CallOutcome::kInterrupted) octave_host::endInterrupted();
  if (report.outcome != CallOutcome::kDone) {
    // As the MEX file: the detail line on the console, then the error.
    if (!report.rejection.detail.empty()) host.console().print(report.rejection.detail);
    octave_host::raiseError(report.rejection.identifier, kName, report.rejection.message);
  }
  octave_host::OctaveOutputs& outputs = host.outputs();
  outputs.finish();
  // The outputs asked for beyond the seven stay undefined, as from the MEX file.
  octave_value_list values(nargout);
  values(kApproximation) = outputs.approximations();
  values(kYIndices) = outputs.yIndices();
  values(kXIndices) = outputs.xIndices();
  values(kDuals) = outputs.duals();
  values(kCoefficients) = outputs.coefficients();
  values(kOrthonormal) = outputs.bases();
  values(kTotalAtoms) = static_cast<double>(report.result.atoms);
  return values;
}

}  // namespace

extern "C" OCTAVE_EXPORT octave_function* GTILEVISTA_Mex(const octave::dynamic_library& library,
                                                          bool relative) {
  return octave_functions::installFunction(tilevistaMex, library, relative, kName);
}
