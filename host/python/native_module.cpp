// The compiled part of the Python package: a host of the module of its own,
// over the host driver every host shares (host/call/): the NumPy arguments
// described to the module's checks, the pursuit run once with the GIL
// released, the outputs handed to NumPy without a copy. Ctrl-C becomes the
// pursuit's interrupt.
#include <pybind11/pybind11.h>

#include <Python.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "call_driver.h"
#include "codec_binding.h"
#include "dictionary_binding.h"
#include "memory_return.h"
#include "numpy_inputs.h"
#include "numpy_outputs.h"
#include "sigint_forwarding.h"
#include "tilevista/memory_pool.h"
#include "tol_as_psnr.h"
#include "tilevista/scoring_routes.h"
#include "tilevista/threads.h"

namespace py = pybind11;

namespace tilevista_python {
namespace {

// One call at a time: the pursuit keeps process-wide state (the BLAS's thread
// setting) and the interrupt requests below are the process's. Only ever
// waited for with the GIL released, so a thread holding it may take the GIL
// without a deadlock.
std::mutex& callLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: threads may outlive exit
  return *lock;
}

// Set when a Python callback of the running call raised: the call ends as if
// interrupted, and the exception propagates.
std::atomic<bool> callbackFailed{false};

bool interrupted() { return sigintRequested() || callbackFailed.load(std::memory_order_relaxed); }

// Where the values of the last call's blocks and dictionaries were read from
// (input_addresses(), for the tests of how arrays are passed). Written under
// the call lock.
struct InputAddresses {
  std::vector<std::uintptr_t> blocks;
  std::uintptr_t Dy = 0, Dx = 0;
};
InputAddresses lastInputs;

py::str decode(const std::string& text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

// The console of a call: collects its text and, when given a callable, also
// passes each piece to it as it is printed. Prints on the calling thread with
// the GIL released; must not throw into the pursuit.
class PythonConsole : public CallConsole {
 public:
  explicit PythonConsole(py::object echo) : echo_(std::move(echo)) {}

  void print(const std::string& text) override {
    text_ += text;
    show(text);
  }

  // Once the call is over: the stop message has no line end of its own, so
  // the callable gets one, and what follows starts on a line of its own. The
  // collected text stays as the module printed it.
  void endLine() {
    if (!text_.empty() && text_.back() != '\n') show("\n");
  }

  const std::string& text() const { return text_; }

 private:
  void show(const std::string& text) {
    if (echo_.is_none() || broken_) return;
    py::gil_scoped_acquire gil;
    try {
      echo_(decode(text));
    } catch (py::error_already_set& e) {
      broken_ = true;  // reported once; later text is not offered to it
      e.discard_as_unraisable("TILEVISTA console echo");
    }
  }

  py::object echo_;
  std::string text_;
  bool broken_ = false;
};

// The Python callable told of the pursuit's progress, and what it raised.
struct ProgressCallback {
  py::object callable;
  std::unique_ptr<py::error_already_set> error;
};

// Called by the pursuit between bands, on the calling thread with the GIL
// released.
void reportProgress(const PursuitProgress& progress, void* context) {
  auto* callback = static_cast<ProgressCallback*>(context);
  py::gil_scoped_acquire gil;
  if (callback->error) return;
  try {
    callback->callable(progress.atoms, progress.energy, progress.tol);
  } catch (py::error_already_set& e) {
    callback->error = std::make_unique<py::error_already_set>(std::move(e));
    callbackFailed.store(true, std::memory_order_relaxed);
  }
}

// Thrown through the driver when the Python callable told of a tol that reads
// like a PSNR raised (a warning made an error): the call ends before any work.
struct TolWarningRaised {};

// The host's side of a call from Python. Built with the GIL held; the driver
// then runs without it.
class PythonHost : public CallHost {
 public:
  PythonHost(const py::sequence& inputs, py::object echo, bool duals, bool bases,
             py::object tolWarning)
      : inputs_(inputs), console_(std::move(echo)), duals_(duals), bases_(bases),
        tolWarning_(std::move(tolWarning)) {}
  const CallInputs& inputs() const override { return inputs_; }
  CallConsole& console() override { return console_; }
  PursuitSink& sink(const CheckedCall& call) override {
    outputs_.emplace(call, duals_, bases_);
    return *outputs_;
  }
  // A tol that reads like a PSNR in dB: the callable is told the PSNR it asks,
  // the peak taken and the tol, before any work.
  void accepted(const CheckedCall& call) override {
    if (tolWarning_.is_none()) return;
    double peak = 0.0;
    const double asked = tolReadsAsPsnr(call, &peak);
    if (std::isnan(asked)) return;
    py::gil_scoped_acquire gil;
    try {
      tolWarning_(asked, peak, call.tol);
    } catch (py::error_already_set& e) {
      tolWarningError_ = std::make_unique<py::error_already_set>(std::move(e));
      throw TolWarningRaised();
    }
  }
  PythonConsole& text() { return console_; }
  std::optional<NumpyOutputs>& outputs() { return outputs_; }
  /// What the tol warning's callable raised; taken with the GIL held.
  py::error_already_set takeTolWarningError() { return std::move(*tolWarningError_); }

 private:
  const NumpyInputs inputs_;
  PythonConsole console_;
  bool duals_, bases_;
  py::object tolWarning_;
  std::unique_ptr<py::error_already_set> tolWarningError_;
  std::optional<NumpyOutputs> outputs_;
};

// What one call returns to Python (module_call.py makes the package's
// Approximation of it).
struct CallResult {
  std::string outcome;  // "done", "rejected", "out of memory" or "interrupted"
  py::object identifier = py::none(), detail = py::none(), message = py::none(),
             plain = py::none();
  py::str console;
  py::object approximations = py::none(), y_indices = py::none(), x_indices = py::none(),
             duals = py::none(), coefficients = py::none(), orthonormal = py::none();
  std::uint64_t total_atoms = 0;
  py::object stop = py::none(), threads = py::none(), residual_energy = py::none(),
             curve = py::none();
};

const char* outcomeName(CallOutcome outcome) {
  switch (outcome) {
    case CallOutcome::kRejected: return "rejected";
    case CallOutcome::kOutOfMemory: return "out of memory";
    case CallOutcome::kInterrupted: return "interrupted";
    case CallOutcome::kDone: return "done";
  }
  return "";
}

void noteInputs(const CheckedCall& call) {
  lastInputs.blocks.assign(call.blocks.size(), 0);
  for (std::size_t q = 0; q < call.blocks.size(); ++q) {
    lastInputs.blocks[q] = reinterpret_cast<std::uintptr_t>(call.blocks[q]);
  }
  lastInputs.Dy = reinterpret_cast<std::uintptr_t>(call.Dy);
  lastInputs.Dx = reinterpret_cast<std::uintptr_t>(call.Dx);
}

// The finished call's outputs, NumPy's from here on.
void takeOutputs(CallReport& report, NumpyOutputs& outputs, CallResult* result) {
  const py::tuple arrays = outputs.release();
  result->approximations = arrays[0];
  result->y_indices = arrays[1];
  result->x_indices = arrays[2];
  result->duals = arrays[3];
  result->coefficients = arrays[4];
  result->orthonormal = arrays[5];
  const PursuitResult& pursuit = report.result;
  result->total_atoms = pursuit.atoms;
  result->stop = py::str(stopRuleName(pursuit.stop));
  result->threads = py::int_(pursuit.statistics.threads);
  if (pursuit.stop == StopRule::kTol) result->residual_energy = py::float_(pursuit.residualEnergy);
  if (report.options.curve) {
    result->curve = curveArrays(std::move(report.result.curve), report.call.tol,
                                report.call.blockCount);
  }
}

// Runs the driver with the GIL released and Ctrl-C forwarded when asked.
CallReport driveWithoutGil(PythonHost& host, const CallOptions& options, bool forwardSigint) {
  // A request left from an earlier signal concerns no call of ours.
  clearSigint();
  callbackFailed.store(false, std::memory_order_relaxed);
  std::optional<SigintForwarding> sigint;
  if (forwardSigint) sigint.emplace();
  // A Ctrl-C that came while the inputs were converted is Python's to raise.
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  CallReport report;
  {
    py::gil_scoped_release released;
    report = driveCall(host, options);
  }
  sigint.reset();
  // A signal after the call ended but before the handler was restored left a
  // request behind: the user pressed Ctrl-C all the same.
  if (forwardSigint && sigintRequested() && report.outcome == CallOutcome::kDone) {
    report.outcome = CallOutcome::kInterrupted;
    report.rejection = interruptedRejection();
  }
  clearSigint();
  return report;
}

// Holds the call lock for one call; refuses a call from inside a call.
class CallGuard {
 public:
  CallGuard() : lock_(callLock(), std::defer_lock) {
    // Python code runs during a call (the echo, the progress callback); a
    // call made from there would wait for the lock its own thread holds.
    if (calling) {
      throw std::runtime_error("the module cannot be called while a call of it runs on this "
                               "thread (from the console echo, for instance)");
    }
    calling = true;
    py::gil_scoped_release released;
    lock_.lock();
  }
  ~CallGuard() { calling = false; }

 private:
  static thread_local bool calling;
  std::unique_lock<std::mutex> lock_;
};
thread_local bool CallGuard::calling = false;

// One call of the module; see the binding's docstring.
CallResult callModule(const py::sequence& inputs, bool duals, bool bases, bool curve,
                      const py::object& echo, const py::object& progress, bool forwardSigint,
                      const py::object& tolWarning) {
  const CallGuard guard;
  PythonHost host(inputs, echo, duals, bases, tolWarning);
  CallOptions options;
  options.duals = duals;
  options.bases = bases;
  options.curve = curve;
  options.interrupted = interrupted;
  ProgressCallback progressCallback{progress, nullptr};
  if (!progress.is_none()) {
    options.progress = reportProgress;
    options.progressContext = &progressCallback;
  }
  CallReport report;
  try {
    report = driveWithoutGil(host, options, forwardSigint);
  } catch (const TolWarningRaised&) {
    throw host.takeTolWarningError();
  }
  if (report.outcome != CallOutcome::kRejected) noteInputs(report.call);
  // As the MEX file prints it before raising: the rejection's console line.
  if (report.outcome == CallOutcome::kRejected && !report.rejection.detail.empty()) {
    host.console().print(report.rejection.detail);
  }
  host.text().endLine();
  if (progressCallback.error) throw py::error_already_set(std::move(*progressCallback.error));

  CallResult result;
  result.outcome = outcomeName(report.outcome);
  if (report.outcome == CallOutcome::kDone) {
    takeOutputs(report, *host.outputs(), &result);
  } else {
    result.identifier = py::str(report.rejection.identifier);
    result.detail = decode(report.rejection.detail);
    result.message = decode(report.rejection.message);
    result.plain = decode(report.rejection.plain);
  }
  result.console = decode(host.text().text());
  host.outputs().reset();
  return result;
}

// Gives back everything the module keeps, between calls (never inside one).
std::size_t releaseMemory() {
  const CallGuard guard;
  return releaseKeptMemory();
}

// The threads a call on `blocks` blocks takes from TILEVISTA_THREADS.
py::tuple threadsForCall(std::int64_t blocks) {
  if (blocks < 1) throw std::invalid_argument("blocks must be at least 1");
  std::int32_t setting = 0;
  std::string message;
  if (!readThreadSetting(&setting, &message)) return py::make_tuple(py::none(), message);
  return py::make_tuple(threadsForBlocks(blocks, setting), py::none());
}

py::object inputAddresses() {
  if (lastInputs.Dy == 0) return py::none();
  py::list blocks;
  for (const std::uintptr_t a : lastInputs.blocks) blocks.append(a);
  return py::make_tuple(blocks, lastInputs.Dy, lastInputs.Dx);
}

py::list scoringRouteNames() {
  py::list names;
  for (const ScoringRouteInfo& route : scoringRoutes()) names.append(route.name);
  return names;
}

// The Python class of CallResult, into module.
void bindCallResult(py::module_& module) {
  py::class_<CallResult>(module, "CallResult", R"doc(What one call of the module returned.

Attributes
----------
outcome : str
    "done", "rejected", "out of memory" or "interrupted".
identifier, detail, message : str or None
    Unless done: the module's error (its identifier, the console line it
    printed first, its message).
plain : str or None
    Unless done: the same error in plain words (what was wrong, the sizes
    or classes seen, the cure), one line, as tilevista_pursuit words it.
console : str
    The module's console text of the call, as it printed it.
approximations, y_indices, x_indices, coefficients : list or None
    When done, one array per block: approximations rows x cols float64
    (Fortran order), indices 0-based int64, coefficients float64.
duals, orthonormal : list or None
    When done and wanted: N x m float64 per block (Fortran order).
total_atoms : int
    Atoms chosen in all.
stop : str or None
    "tol", "tol2" or "budget".
threads : int or None
    Threads that worked, the calling one included.
residual_energy : float or None
    With stop "tol": the total squared residual the tol rule compared.
curve : tuple or None
    When asked: (block int32, position int32, energy float64, tol, blocks).)doc")
      .def_readonly("outcome", &CallResult::outcome)
      .def_readonly("identifier", &CallResult::identifier)
      .def_readonly("detail", &CallResult::detail)
      .def_readonly("message", &CallResult::message)
      .def_readonly("plain", &CallResult::plain)
      .def_readonly("console", &CallResult::console)
      .def_readonly("approximations", &CallResult::approximations)
      .def_readonly("y_indices", &CallResult::y_indices)
      .def_readonly("x_indices", &CallResult::x_indices)
      .def_readonly("duals", &CallResult::duals)
      .def_readonly("coefficients", &CallResult::coefficients)
      .def_readonly("orthonormal", &CallResult::orthonormal)
      .def_readonly("total_atoms", &CallResult::total_atoms)
      .def_readonly("stop", &CallResult::stop)
      .def_readonly("threads", &CallResult::threads)
      .def_readonly("residual_energy", &CallResult::residual_energy)
      .def_readonly("curve", &CallResult::curve);
}

// The module's constants: identifiers, limits, defaults and the scoring routes.
void bindConstants(py::module_& m) {
  m.attr("ERROR_OUT_OF_MEMORY") = error_id::kOutOfMemory;
  m.attr("ERROR_INTERRUPTED") = error_id::kInterrupted;
  m.attr("ERROR_NOT_A_CELL") = error_id::kNotACell;
  m.attr("ERROR_THREADS") = error_id::kThreads;
  m.attr("ERROR_OPTION") = error_id::kOption;
  m.attr("MAX_THREADS") = kMaxThreads;
  m.attr("DEFAULT_TOL") = kDefaultTolerance;
  m.attr("MAX_ATOM_PAIRS") = kMaxCount;
  m.attr("SCORING_ROUTES") = scoringRouteNames();
}

// call_module, the one entry to a pursuit.
void bindCall(py::module_& m) {
  m.def("call_module", &callModule, py::arg("inputs"), py::arg("duals") = true,
        py::arg("bases") = true, py::arg("curve") = false, py::arg("echo") = py::none(),
        py::arg("progress") = py::none(), py::arg("forward_sigint") = false,
        py::arg("tol_warning") = py::none(),
        R"doc(Call the module once.

Parameters
----------
inputs : sequence
    blocks, Dy, Dx, tol, max_atoms. Each matrix is None (an empty matrix) or
    a 2-D float64 (column-major, aligned: read in place) or complex128 array.
    blocks is a 3-D array (a 1 x Q cell of its column-major slices), a list
    of matrices (a 1 x n cell) or a matrix.
duals, bases : bool
    Whether the dual and orthonormal vectors are computed and returned.
curve : bool
    Whether the serial order and energy after each atom are returned.
echo : callable, optional
    Called with each piece of console text as the module prints it, and
    with a line feed after the last piece when that does not end a line.
progress : callable, optional
    Called as progress(atoms, energy, tol) between bands; an exception it
    raises ends the call and propagates.
forward_sigint : bool
    Turn SIGINT into an interrupt of the call while it runs (main thread
    only).
tol_warning : callable, optional
    Called as tol_warning(db, peak, tol) before any work when the tol reads
    like a PSNR in dB (see tol_reads_as_psnr), with the PSNR it asks of the
    blocks and their largest magnitude as the peak; an exception it raises
    ends the call and propagates.

Returns
-------
CallResult
)doc");
}

// What a caller asks of the module besides a call: threads, the tol rule, memory.
void bindQueries(py::module_& m) {
  m.def("threads_for_call", &threadsForCall,
        py::arg("blocks") = std::numeric_limits<std::int64_t>::max(),
        R"doc(The threads a call on `blocks` blocks takes from TILEVISTA_THREADS,
as the module reads it: (count, None), or (None, the module's message) when
the variable holds no thread count.)doc");
  m.def(
      "tol_reads_as_psnr",
      [](double tol, double values, double peak) -> py::object {
        const double asked = tolReadsAsPsnr(tol, values, peak);
        return std::isnan(asked) ? py::object(py::none()) : py::object(py::float_(asked));
      },
      py::arg("tol"), py::arg("values"), py::arg("peak"),
      R"doc(The PSNR in dB that tol asks of an image of `values` values of largest
possible value `peak`, when tol reads like a PSNR in dB (it lies within 10
to 100 and asks at least 20 dB more than its own value); else None. The
rule's one home: tilevista_pursuit and approximate warn by it.)doc");
  m.def("release_memory", &releaseMemory,
        R"doc(Give back to the system all the memory the module keeps from its
last call for the next one (what is kept, and when it goes back by itself, is
the module's one rule: README, "Memory a call needs"). Waits for a running
call to end. Arrays of earlier calls that are still alive keep their memory;
it is freed, not kept, when they are released.

Returns
-------
int
    The bytes the module had kept.)doc");
  m.def("kept_memory", []() { return MemoryPool::shared().keptBytes(); },
        R"doc(The bytes the module keeps for its next call.)doc");
  m.def("input_addresses", &inputAddresses,
        R"doc(Where the last call that passed the checks read its inputs:
(list of the blocks' data addresses, Dy's, Dx's), or None before any call.
For tests of how arrays reach the module.)doc");
}

}  // namespace
}  // namespace tilevista_python

PYBIND11_MODULE(_native, m) {
  m.doc() = "The module's checks, plan and pursuit, called in-process on NumPy arrays.";
  tilevista_python::bindConstants(m);
  tilevista_python::bindCallResult(m);
  tilevista_python::bindCall(m);
  tilevista_python::bindQueries(m);
  tilevista_python::bindDictionary(m);
  tilevista_python::bindCodec(m);
}
