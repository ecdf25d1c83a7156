// tilevista_pursuit: the pursuit for Octave users, returning one struct, over
// the call layer every host shares (host/call): the same checks and
// identifiers as TILEVISTA_Mex, the same pursuit, and the outputs built as
// Octave's own arrays. What the caller declines (duals, orthonormal vectors)
// is never stored; the curve is recorded only when asked for. It speaks in
// plain words: the module's console text only when asked ("verbose", ended
// with a line feed), rejections in the checks' plain words before the
// module's own texts, and a warning for a tol that reads like a PSNR.
#include "octave_pursuit.h"

#include <octave/oct.h>
#include <octave/ov-struct.h>
#include <octave/parse.h>
#include <octave/quit.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

#include "call_checks.h"
#include "call_driver.h"
#include "octave_functions.h"
#include "octave_host.h"
#include "tol_as_psnr.h"

namespace octave_pursuit {
namespace {

const char* const kName = "tilevista_pursuit";

// What the caller asked to see of the progress: a line on the terminal, or
// calls of its function.
struct ProgressShown {
  octave_value function;  // undefined: the terminal line
  bool lineShown = false;
};

// At every band: atoms so far and the squared error against tol. The
// terminal line is written over itself on standard error, when that is a
// terminal, so that a caller who keeps the console text (evalc) still sees it.
void showProgress(const PursuitProgress& progress, void* context) {
  auto* shown = static_cast<ProgressShown*>(context);
  if (shown->function.is_defined()) {
    octave::feval(shown->function,
                  ovl(static_cast<double>(progress.atoms), progress.energy, progress.tol), 0);
    return;
  }
  if (!isatty(STDERR_FILENO)) return;
  std::fprintf(stderr, "\r%s: %llu atoms, squared error %.6g (tol %.6g)   ", kName,
               static_cast<unsigned long long>(progress.atoms), progress.energy, progress.tol);
  std::fflush(stderr);
  shown->lineShown = true;
}

// A rejection as an Octave error with its identifier: the plain words on the
// first line, then the module's own texts as TILEVISTA_Mex gives them (the
// console line it prints first, then its message), each without its final
// line feeds.
[[noreturn]] void raise(const Rejection& rejection) {
  std::string detail = rejection.detail, message = rejection.message;
  while (!detail.empty() && detail.back() == '\n') detail.pop_back();
  while (!message.empty() && message.back() == '\n') message.pop_back();
  const std::string module = detail.empty() ? message : detail + "\n" + message;
  octave_host::raiseError(rejection.identifier, kName,
                          rejection.plain.empty() ? module : rejection.plain + "\n" + module);
}

// The console of a call: the module's text shown only when verbose, and
// whether what was shown ended a line.
class PursuitConsole : public CallConsole {
 public:
  explicit PursuitConsole(bool verbose) : verbose_(verbose) {}
  void print(const std::string& text) override {
    if (!verbose_ || text.empty()) return;
    shown_.print(text);
    lineOpen_ = text.back() != '\n';
  }
  // The stop message has no line end of its own: it gets one here, so that
  // what follows starts on a line of its own.
  void endLine() {
    if (lineOpen_) shown_.print("\n");
    lineOpen_ = false;
  }

 private:
  bool verbose_;
  bool lineOpen_ = false;
  octave_host::OctaveConsole shown_;
};

// The module's call as tilevista_pursuit makes it: its own console, and a
// warning, before any work, for a tol that reads like a PSNR in dB.
class PursuitCall : public octave_host::OctaveCall {
 public:
  PursuitCall(const octave_value_list& args, int count, bool duals, bool bases, bool verbose)
      : OctaveCall(args, count, -1, duals, bases), console_(verbose) {}
  PursuitConsole& console() override { return console_; }
  void accepted(const CheckedCall& call) override {
    double peak = 0.0;
    const double asked = tolReadsAsPsnr(call, &peak);
    if (std::isnan(asked)) return;
    warning_with_id(kTolLooksLikePsnr,
                    "%s: TOL = %g is a total squared error, which asks these blocks for %.1f dB "
                    "(peak %g, their largest value); for a target of %g dB make the tol with "
                    "tilevista_tol_for_psnr (img, %g)",
                    kName, call.tol, asked, peak, call.tol, call.tol);
  }

 private:
  PursuitConsole console_;
};

// Options after the positional arguments: name, value pairs of logical
// scalars; "progress" also takes a function handle.
struct Options {
  bool duals = false, bases = false, curve = false, progress = false, verbose = false;
  octave_value progressFunction;
};

Options readOptions(const octave_value_list& args, int first) {
  Options options;
  if ((args.length() - first) % 2 != 0) {
    error_with_id(error_id::kOption, "%s: options come as name, value pairs", kName);
  }
  for (int k = first; k < args.length(); k += 2) {
    const std::string name = args(k).is_string() ? args(k).string_value() : "";
    const octave_value& value = args(k + 1);
    bool* target = name == "duals"      ? &options.duals
                   : name == "bases"    ? &options.bases
                   : name == "curve"    ? &options.curve
                   : name == "progress" ? &options.progress
                   : name == "verbose"  ? &options.verbose
                                        : nullptr;
    if (target == nullptr) {
      error_with_id(error_id::kOption,
                    "%s: unknown option '%s': the options are \"duals\", \"bases\", \"curve\", "
                    "\"progress\" and \"verbose\"",
                    kName, name.c_str());
    }
    if (target == &options.progress && value.is_function_handle()) {
      options.progress = true;
      options.progressFunction = value;
      continue;
    }
    if (!(value.is_bool_scalar() || (value.is_real_scalar() && value.isnumeric()))) {
      error_with_id(error_id::kOption, "%s: option \"%s\" takes true or false", kName,
                    name.c_str());
    }
    *target = value.bool_value();
  }
  return options;
}

// The curve with 1-based blocks and positions, and the pixels of the blocks.
octave_scalar_map curveOf(const PursuitCurve& curve, const CheckedCall& call) {
  const auto T = static_cast<octave_idx_type>(curve.energy.size());
  ColumnVector block(T), position(T), energy(T);
  for (octave_idx_type t = 0; t < T; ++t) {
    block(t) = curve.block[static_cast<std::size_t>(t)] + 1.0;
    position(t) = curve.position[static_cast<std::size_t>(t)] + 1.0;
    energy(t) = curve.energy[static_cast<std::size_t>(t)];
  }
  octave_scalar_map s;
  s.assign("block", block);
  s.assign("position", position);
  s.assign("energy", energy);
  s.assign("pixels", static_cast<double>(call.blockCount) * call.rows * call.cols);
  return s;
}

}  // namespace

octave_value_list tilevistaPursuit(const octave_value_list& args, int /*nargout*/) {
  octave_host::startCall();
  int positional = 0;
  while (positional < static_cast<int>(args.length()) && positional < 5 && !args(positional).is_string()) {
    ++positional;
  }
  // A text among the first five arguments is an option name only after three
  // positional ones; before that it is a call the checks reject.
  if (positional < 3) positional = std::min(static_cast<int>(args.length()), 5);
  const Options options = readOptions(args, positional);

  PursuitCall host(args, positional, options.duals, options.bases, options.verbose);
  CallOptions run;
  run.duals = options.duals;
  run.bases = options.bases;
  run.curve = options.curve;
  run.interrupted = octave_host::interruptPending;
  ProgressShown progressShown;
  progressShown.function = options.progressFunction;
  if (options.progress) {
    run.progress = showProgress;
    run.progressContext = &progressShown;
  }
  const CallReport report = driveCall(host, run);
  if (progressShown.lineShown) std::fputc('\n', stderr);
  if (report.outcome == CallOutcome::kInterrupted) octave_host::endInterrupted();
  if (report.outcome != CallOutcome::kDone) raise(report.rejection);
  host.console().endLine();

  octave_host::OctaveOutputs& outputs = host.outputs();
  outputs.finish();
  octave_scalar_map s;
  s.assign("approximations", outputs.approximations());
  s.assign("yIndices", outputs.yIndices());
  s.assign("xIndices", outputs.xIndices());
  s.assign("coefficients", outputs.coefficients());
  if (options.duals) s.assign("duals", outputs.duals());
  if (options.bases) s.assign("bases", outputs.bases());
  s.assign("totalAtoms", static_cast<double>(report.result.atoms));
  s.assign("stop", std::string(stopRuleName(report.result.stop)));
  s.assign("threads", static_cast<double>(report.result.statistics.threads));
  if (options.curve) s.assign("curve", curveOf(report.result.curve, report.call));
  return ovl(s);
}

}  // namespace octave_pursuit

extern "C" OCTAVE_EXPORT octave_function* Gtilevista_pursuit(
    const octave::dynamic_library& library, bool relative) {
  return octave_functions::installFunction(octave_pursuit::tilevistaPursuit, library, relative,
                                           "tilevista_pursuit");
}
