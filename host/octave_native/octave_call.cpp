// One MEX-style call over Octave's values, and the console and error
// functions of mex.h, which behave as Octave's MEX layer's.
#include "octave_call.h"

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include <octave/quit.h>
#include <octave/utils.h>

namespace octave_native {
namespace {

const char* functionName() {
  const CallArrays* call = CallArrays::current();
  return call != nullptr ? call->name() : "unknown";
}

}  // namespace

octave_value_list callEntryPoint(const char* name, EntryPoint entry, const octave_value_list& args,
                                 int nargout) {
  octave_quit();  // as Octave's MEX layer does before a MEX call
  CallArrays call(name);
  const int nargin = args.length();
  std::vector<const mxArray_tag*> inputs(static_cast<std::size_t>(nargin));
  for (int i = 0; i < nargin; ++i) inputs[static_cast<std::size_t>(i)] = call.wrapInput(args(i));
  std::vector<mxArray_tag*> outputs(static_cast<std::size_t>(nargout == 0 ? 1 : nargout), nullptr);

  entry(nargout, outputs.data(), nargin, inputs.data());

  const int count = nargout == 0 && outputs[0] != nullptr ? 1 : nargout;
  octave_value_list values(count);
  for (int i = 0; i < count; ++i) {
    mxArray_tag* a = outputs[static_cast<std::size_t>(i)];
    if (a != nullptr) values(i) = CallArrays::valueOf(a);
  }
  return values;
}

}  // namespace octave_native

int mexPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::size_t count = octave::vformat(octave_stdout, format, args);
  va_end(args);
  return static_cast<int>(count);
}

void mexErrMsgTxt(const char* text) {
  octave_native::CallArrays::releaseErrorReserve();
  const std::size_t length = text != nullptr ? std::strlen(text) : 0;
  if (length == 0) error(" ");  // Octave's error needs some text
  if (text[length - 1] == '\n') {
    // A final line feed asks Octave for the message alone, no traceback.
    const std::string line(text, length - 1);
    error("%s: %s\n", octave_native::functionName(), line.c_str());
  }
  error("%s: %s", octave_native::functionName(), text);
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  octave_native::CallArrays::releaseErrorReserve();
  if (format == nullptr || format[0] == '\0') error(" ");
  const std::string prefixed = std::string(octave_native::functionName()) + ": " + format;
  va_list args;
  va_start(args, format);
  // Octave's MEX layer passes the list on as well (and cannot end it): the
  // format, with its final line feed, decides whether a traceback follows.
  verror_with_id(id, prefixed.c_str(), args);
}
