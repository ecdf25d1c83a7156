// The compiled part of the Python package: a host of the module of its own, in
// the four steps of every host (host/call/): check the NumPy arguments, size
// the call, run the pursuit once with the GIL released, hand the outputs to
// NumPy without a copy. Ctrl-C becomes the pursuit's interrupt.
#include <pybind11/pybind11.h>

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "call_checks.h"
#include "call_plan.h"
#include "call_run.h"
#include "numpy_inputs.h"
#include "numpy_outputs.h"
#include "freed_memory.h"
#include "output_memory.h"
#include "sigint_forwarding.h"
#include "thread_count.h"

namespace py = pybind11;

namespace tilevista_python {
namespace {

// One call at a time: the pursuit keeps process-wide state (the BLAS's thread
// setting, its statistics) and the interrupt requests below are the process's.
// Only ever waited for with the GIL released, so a thread holding it may take
// the GIL without a deadlock.
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
    if (echo_.is_none() || broken_) return;
    py::gil_scoped_acquire gil;
    try {
      echo_(decode(text));
    } catch (py::error_already_set& e) {
      broken_ = true;  // reported once; later text is not offered to it
      e.discard_as_unraisable("TILEVISTA console echo");
    }
  }

  const std::string& text() const { return text_; }

 private:
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

// Gives the memory the call freed back to the system, with the GIL released.
void trimFreedMemory() {
  py::gil_scoped_release released;
  returnFreedMemory();
}

py::tuple rejected(const Rejection& rejection, const std::string& log) {
  return py::make_tuple(py::none(), decode(log),
                        py::make_tuple(rejection.identifier, decode(rejection.detail),
                                       decode(rejection.message)));
}

// One call of the module; see the binding's docstring.
py::tuple callModule(const py::sequence& inputs, bool duals, bool bases, bool curve,
                     const py::object& echo, const py::object& progress, bool forwardSigint) {
  // Python code runs during a call (the echo, the progress callback); a call
  // made from there would wait for the lock its own thread holds.
  static thread_local bool calling = false;
  if (calling) {
    throw std::runtime_error("the module cannot be called while a call of it runs on this thread "
                             "(from the console echo, for instance)");
  }
  struct Calling {
    Calling() { calling = true; }
    ~Calling() { calling = false; }
  } marker;
  std::unique_lock<std::mutex> lock(callLock(), std::defer_lock);
  {
    py::gil_scoped_release released;
    lock.lock();
  }

  // 1. Every argument, in the module's order; 2. threads and memory.
  const NumpyInputs arguments(inputs);
  PythonConsole console(echo);
  CheckedCall call;
  Rejection rejection;
  CallOptions options;
  bool accepted = false;
  {
    py::gil_scoped_release released;
    accepted = checkCall(arguments, -1, &call, &rejection) &&
               planCall(call, &options, &rejection);
    if (!accepted && !rejection.detail.empty()) console.print(rejection.detail);
  }
  if (!accepted) return rejected(rejection, console.text());
  lastInputs.blocks.assign(call.blocks.size(), 0);
  for (std::size_t q = 0; q < call.blocks.size(); ++q) {
    lastInputs.blocks[q] = reinterpret_cast<std::uintptr_t>(call.blocks[q]);
  }
  lastInputs.Dy = reinterpret_cast<std::uintptr_t>(call.Dy);
  lastInputs.Dx = reinterpret_cast<std::uintptr_t>(call.Dx);

  // 3. The pursuit, once, into memory NumPy will own.
  options.duals = duals;
  options.bases = bases;
  options.curve = curve;
  options.interrupted = interrupted;
  ProgressCallback progressCallback{progress, nullptr};
  if (!progress.is_none()) {
    options.progress = reportProgress;
    options.progressContext = &progressCallback;
  }
  std::optional<NumpyOutputs> outputs;
  outputs.emplace(call, duals, bases);
  PursuitResult result;
  bool outOfMemory = false, interruptedAfterCall = false;
  {
    // A request left from an earlier signal concerns no call of ours.
    clearSigint();
    callbackFailed.store(false, std::memory_order_relaxed);
    std::optional<SigintForwarding> sigint;
    if (forwardSigint) sigint.emplace();
    // A Ctrl-C that came while the inputs were converted is Python's to raise.
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    {
      py::gil_scoped_release released;
      try {
        result = runCall(call, options, *outputs, console);
      } catch (const std::bad_alloc&) {
        outOfMemory = true;
      }
    }
    sigint.reset();
    // A signal after the call ended but before the handler was restored left
    // a request behind: the user pressed Ctrl-C all the same.
    interruptedAfterCall = forwardSigint && sigintRequested();
    clearSigint();
  }
  if (progressCallback.error || outOfMemory || !result.completed || interruptedAfterCall) {
    outputs.reset();
    trimFreedMemory();
    if (progressCallback.error) throw py::error_already_set(std::move(*progressCallback.error));
    if (outOfMemory) {
      rejection = ::outOfMemory(call, options.threads);
    } else {
      rejection = Rejection{error_id::kInterrupted, std::string(), kInterruptedMessage};
    }
    return rejected(rejection, console.text());
  }

  // 4. The outputs are NumPy's.
  const py::tuple arrays = outputs->release();
  py::object curveOut = py::none(), maxErr = py::none();
  if (curve) curveOut = curveArrays(std::move(result.curve), call.tol, call.blockCount);
  if (result.stop == StopRule::kTol) maxErr = py::float_(result.maxErr);
  const py::tuple values = py::make_tuple(
      arrays[0], arrays[1], arrays[2], arrays[3], arrays[4], arrays[5], result.atoms,
      stopRuleName(result.stop), result.statistics.threads, maxErr, curveOut);
  outputs.reset();
  trimFreedMemory();
  return py::make_tuple(values, decode(console.text()), py::none());
}

// The threads a call on `blocks` blocks takes from TILEVISTA_THREADS.
py::tuple threadsForBlocks(std::int64_t blocks) {
  if (blocks < 1) throw std::invalid_argument("blocks must be at least 1");
  std::int32_t threads = 0;
  std::string message;
  if (!threadsForCall(blocks, &threads, &message)) return py::make_tuple(py::none(), message);
  return py::make_tuple(threads, py::none());
}

py::object inputAddresses() {
  if (lastInputs.Dy == 0) return py::none();
  py::list blocks;
  for (const std::uintptr_t a : lastInputs.blocks) blocks.append(a);
  return py::make_tuple(blocks, lastInputs.Dy, lastInputs.Dx);
}

}  // namespace
}  // namespace tilevista_python

PYBIND11_MODULE(_native, m) {
  m.doc() = "The module's checks, sizing and pursuit, called in-process on NumPy arrays.";
  m.attr("ERROR_OUT_OF_MEMORY") = error_id::kOutOfMemory;
  m.attr("ERROR_INTERRUPTED") = error_id::kInterrupted;
  m.attr("ERROR_NOT_A_CELL") = error_id::kNotACell;
  m.attr("ERROR_THREADS") = error_id::kThreads;
  m.attr("MAX_THREADS") = kMaxThreads;
  m.def("call_module", &tilevista_python::callModule, py::arg("inputs"), py::arg("duals") = true,
        py::arg("bases") = true, py::arg("curve") = false, py::arg("echo") = py::none(),
        py::arg("progress") = py::none(), py::arg("forward_sigint") = false,
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
    Called with each piece of console text as the module prints it.
progress : callable, optional
    Called as progress(atoms, energy, tol) between bands; an exception it
    raises ends the call and propagates.
forward_sigint : bool
    Turn SIGINT into an interrupt of the call while it runs (main thread
    only).

Returns
-------
tuple
    (outputs, console, rejection). outputs: (approximations, y_indices,
    x_indices, duals or None, coefficients, orthonormal or None, total_atoms,
    stop, threads, max_err or None, curve or None), lists with one array
    per block, indices 0-based int64, curve (block, position, energy, tol,
    blocks); None
    after a rejection. console: the console text. rejection: (identifier,
    detail, message) or None.
)doc");
  m.def("threads_for_call", &tilevista_python::threadsForBlocks,
        py::arg("blocks") = std::numeric_limits<std::int64_t>::max(),
        R"doc(The threads a call on `blocks` blocks takes from TILEVISTA_THREADS,
as the module reads it: (count, None), or (None, the module's message) when
the variable holds no thread count.)doc");
  m.def("input_addresses", &tilevista_python::inputAddresses,
        R"doc(Where the last call that passed the checks read its inputs:
(list of the blocks' data addresses, Dy's, Dx's), or None before any call.
For tests of how arrays reach the module.)doc");
}
