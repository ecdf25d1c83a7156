// tilevista_pursuit: the pursuit for Octave users, returning one struct, over
// the call layer every host shares (host/call): the same checks, texts and
// identifiers as TILEVISTA_Mex, the same pursuit, and the outputs built as
// Octave's own arrays. What the caller declines (duals, orthonormal vectors)
// is never stored; the curve is recorded only when asked for.
#include "octave_pursuit.h"

#include <octave/oct.h>
#include <octave/ov-struct.h>
#include <octave/parse.h>
#include <octave/quit.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

#include "call_checks.h"
#include "call_plan.h"
#include "call_run.h"
#include "octave_functions.h"

namespace octave_native {
namespace {

const char* const kName = "tilevista_pursuit";

// What the checks need to know of an Octave value. The values of a double
// matrix are read where Octave keeps them: `keep` holds the array so that they
// stay alive (a scalar or a range has no array of its own until asked).
ArrayFacts factsOf(const octave_value& value, std::vector<NDArray>* keep) {
  ArrayFacts facts;
  if (!value.is_defined()) return facts;
  facts.exists = true;
  facts.isCell = value.iscell();
  facts.isDouble = value.is_double_type();
  facts.isChar = value.is_string();
  facts.isComplex = value.iscomplex();
  facts.isSparse = value.issparse();
  facts.className = value.class_name();
  const dim_vector dims = value.dims();
  facts.rows = dims.ndims() > 0 ? dims(0) : 0;
  facts.cols = 1;
  for (int k = 1; k < dims.ndims(); ++k) facts.cols *= dims(k);
  if (facts.isDouble && !facts.isCell && !facts.isSparse && !facts.isComplex) {
    keep->push_back(value.array_value());
    facts.values = keep->back().data();
  }
  return facts;
}

// The positional arguments (blocks, Dy, Dx, tol, maxAtoms) as the checks see
// them.
class OctaveInputs : public CallInputs {
 public:
  OctaveInputs(const octave_value_list& args, int count) : args_(args), count_(count) {
    if (count > 0 && args(0).iscell()) blocks_ = args(0).cell_value();
  }
  int count() const override { return count_; }
  ArrayFacts input(int position) const override { return factsOf(args_(position), &keep_); }
  ArrayFacts block(std::int64_t i) const override {
    return factsOf(blocks_(static_cast<octave_idx_type>(i)), &keep_);
  }

 private:
  const octave_value_list& args_;
  int count_;
  Cell blocks_;
  // Arrays whose values the checked call points to; a vector of handles, so
  // that growing it moves handles, not the values.
  mutable std::vector<NDArray> keep_;
};

// The outputs as Octave arrays from the start: the module writes a block's
// values into its matrices, which go into the cells, sharing their storage,
// once they are filled (a value made from a 1 x 1 matrix is a scalar of its
// own, so it is made only then).
class OctaveOutputs : public PursuitSink {
 public:
  OctaveOutputs(const CheckedCall& call, bool duals, bool bases)
      : call_(call), wantDuals_(duals), wantBases_(bases) {
    const auto Q = static_cast<std::size_t>(call.blockCount);
    for (auto* output : {&approximations_, &yIndices_, &xIndices_, &coefficients_})
      output->resize(Q);
    if (duals) duals_.resize(Q);
    if (bases) bases_.resize(Q);
  }

  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override {
    const auto N = static_cast<octave_idx_type>(call_.rows) * call_.cols;
    BlockOutputs out;
    out.approximation = place(approximations_, q, call_.rows, call_.cols);
    if (m == 0) return out;
    out.yIndex = place(yIndices_, q, m, 1);
    out.xIndex = place(xIndices_, q, m, 1);
    out.coefficients = place(coefficients_, q, m, 1);
    if (wantDuals_) out.dual = place(duals_, q, N, m);
    if (wantBases_) out.ortho = place(bases_, q, N, m);
    return out;
  }

  // Octave's allocations and interrupts fail by C++ exceptions.
  bool failsByUnwinding() const override { return true; }

  /// The filled outputs as cells shaped as the blocks, into s.
  void into(octave_scalar_map* s) const {
    s->assign("approximations", cellOf(approximations_));
    s->assign("yIndices", cellOf(yIndices_));
    s->assign("xIndices", cellOf(xIndices_));
    s->assign("coefficients", cellOf(coefficients_));
    if (wantDuals_) s->assign("duals", cellOf(duals_));
    if (wantBases_) s->assign("bases", cellOf(bases_));
  }

 private:
  // A new, uninitialised m x n matrix for block q, and its values.
  static double* place(std::vector<Matrix>& output, std::int32_t q, octave_idx_type m,
                       octave_idx_type n) {
    Matrix& matrix = output[static_cast<std::size_t>(q)];
    matrix = Matrix(m, n);
    return matrix.fortran_vec();
  }

  Cell cellOf(const std::vector<Matrix>& output) const {
    Cell cell(dim_vector(static_cast<octave_idx_type>(call_.gridRows),
                         static_cast<octave_idx_type>(call_.gridCols)));
    for (std::size_t q = 0; q < output.size(); ++q) {
      if (output[q].numel() > 0) cell(static_cast<octave_idx_type>(q)) = output[q];
    }
    return cell;
  }

  const CheckedCall& call_;
  bool wantDuals_, wantBases_;
  std::vector<Matrix> approximations_, yIndices_, xIndices_, coefficients_, duals_, bases_;
};

class OctaveConsole : public CallConsole {
 public:
  void print(const std::string& text) override {
    octave_stdout << text;
    octave_stdout.flush();
  }
};

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

bool interruptPending() {
  return *static_cast<volatile std::sig_atomic_t*>(&octave_interrupt_state) > 0;
}

// As Octave's own loops end on Ctrl-C: back to the prompt, no error message.
[[noreturn]] void endInterrupted() {
  octave_signal_caught = 0;
  octave_handle_signal();
  throw octave::interrupt_exception();
}

// A rejection as an Octave error with its identifier; the console line the
// module prints before it comes first in the message.
[[noreturn]] void raise(const Rejection& rejection) {
  std::string detail = rejection.detail, message = rejection.message;
  while (!detail.empty() && detail.back() == '\n') detail.pop_back();
  while (!message.empty() && message.back() == '\n') message.pop_back();
  const std::string text = detail.empty() ? message : detail + "\n" + message;
  error_with_id(rejection.identifier, "%s: %s", kName, text.c_str());
}

// Options after the positional arguments: name, value pairs of logical
// scalars; "progress" also takes a function handle.
struct Options {
  bool duals = false, bases = false, curve = false, progress = false;
  octave_value progressFunction;
};

Options readOptions(const octave_value_list& args, int first) {
  Options options;
  if ((args.length() - first) % 2 != 0) {
    error_with_id("TILEVISTA:option", "%s: options come as name, value pairs", kName);
  }
  for (int k = first; k < args.length(); k += 2) {
    const std::string name = args(k).is_string() ? args(k).string_value() : "";
    const octave_value& value = args(k + 1);
    bool* target = name == "duals"      ? &options.duals
                   : name == "bases"    ? &options.bases
                   : name == "curve"    ? &options.curve
                   : name == "progress" ? &options.progress
                                        : nullptr;
    if (target == nullptr) {
      error_with_id("TILEVISTA:option",
                    "%s: unknown option '%s': the options are \"duals\", \"bases\", \"curve\" "
                    "and \"progress\"",
                    kName, name.c_str());
    }
    if (target == &options.progress && value.is_function_handle()) {
      options.progress = true;
      options.progressFunction = value;
      continue;
    }
    if (!(value.is_bool_scalar() || (value.is_real_scalar() && value.isnumeric()))) {
      error_with_id("TILEVISTA:option", "%s: option \"%s\" takes true or false", kName,
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
  octave_quit();
  int positional = 0;
  while (positional < static_cast<int>(args.length()) && positional < 5 && !args(positional).is_string()) {
    ++positional;
  }
  // A text among the first five arguments is an option name only after three
  // positional ones; before that it is a call the checks reject.
  if (positional < 3) positional = std::min(static_cast<int>(args.length()), 5);
  const Options options = readOptions(args, positional);

  // The inputs outlive the pursuit: the checked call points into arrays they
  // hold (a scalar, a range or a diagonal matrix has none of its own).
  const OctaveInputs inputs(args, positional);
  CheckedCall call;
  Rejection rejection;
  if (!checkCall(inputs, -1, &call, &rejection)) raise(rejection);
  CallOptions run;
  run.duals = options.duals;
  run.bases = options.bases;
  run.curve = options.curve;
  run.interrupted = interruptPending;
  ProgressShown progressShown;
  progressShown.function = options.progressFunction;
  if (options.progress) {
    run.progress = showProgress;
    run.progressContext = &progressShown;
  }
  if (!planCall(call, &run, &rejection)) raise(rejection);

  OctaveOutputs outputs(call, options.duals, options.bases);
  OctaveConsole console;
  PursuitResult result;
  bool outOfMemory = false;
  try {
    result = runCall(call, run, outputs, console);
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  }
  if (progressShown.lineShown) std::fputc('\n', stderr);
  if (outOfMemory) raise(::outOfMemory(call, run.threads));
  if (!result.completed) endInterrupted();

  octave_scalar_map s;
  outputs.into(&s);
  s.assign("totalAtoms", static_cast<double>(result.atoms));
  s.assign("stop", std::string(stopRuleName(result.stop)));
  s.assign("threads", static_cast<double>(result.statistics.threads));
  if (options.curve) s.assign("curve", curveOf(result.curve, call));
  return ovl(s);
}

}  // namespace octave_native

extern "C" OCTAVE_EXPORT octave_function* Gtilevista_pursuit(
    const octave::dynamic_library& library, bool relative) {
  return octave_native::installFunction(octave_native::tilevistaPursuit, library, relative,
                                        "tilevista_pursuit");
}
