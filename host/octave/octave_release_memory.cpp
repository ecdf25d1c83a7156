// tilevista_release_memory: gives back to the system the memory the module
// keeps from its last call for the next one (host/call/memory_return.h holds
// the rule of what is kept and when it goes back by itself).
#include <octave/oct.h>

#include "call_checks.h"
#include "memory_return.h"
#include "octave_functions.h"

namespace {

const char* const kName = "tilevista_release_memory";

octave_value_list releaseMemory(const octave_value_list& args, int nargout) {
  if (args.length() != 0) {
    error_with_id(error_id::kInputCount, "%s: takes no arguments, it was given %d", kName,
                  static_cast<int>(args.length()));
  }
  if (nargout > 1) {
    error_with_id(error_id::kOutputCount, "%s: returns one value at most, %d were asked for",
                  kName, nargout);
  }
  // Octave runs one function at a time: no call of the module is running.
  const double freed = static_cast<double>(releaseKeptMemory());
  if (nargout == 0) return octave_value_list();
  return ovl(freed);
}

}  // namespace

extern "C" OCTAVE_EXPORT octave_function* Gtilevista_release_memory(
    const octave::dynamic_library& library, bool relative) {
  return octave_functions::installFunction(releaseMemory, library, relative, kName);
}
