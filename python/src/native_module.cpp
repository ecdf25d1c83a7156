// The compiled part of the Python package: calls the module's entry point
// in-process through the substitute host, with the GIL released while the
// pursuit runs and Ctrl-C turned into the host's interrupt request.
#include <pybind11/pybind11.h>

#include <Python.h>

#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_call.h"
#include "mex.h"
#include "numpy_arrays.h"
#include "sigint_forwarding.h"

namespace py = pybind11;

namespace tilevista_python {
namespace {

// The substitute host keeps one process-wide state and runs one call at a
// time; every use of it from Python (creating inputs, the call, reading and
// releasing outputs) holds this lock. It is only ever waited for with the GIL
// released, so a thread holding it may take the GIL without a deadlock.
std::mutex& hostLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: threads may outlive exit
  return *lock;
}

py::str decode(const char* text, std::size_t size) {
  PyObject* s = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "replace");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

// The Python callable that shows the console text while the call runs.
struct Echo {
  py::object write;
  bool broken = false;  // it raised once; later text is not offered to it
};

// Runs inside the module call, on the calling thread, with the GIL released
// around it; must not throw into the module.
void echoText(const char* text, std::size_t size, void* context) noexcept {
  auto* echo = static_cast<Echo*>(context);
  try {
    py::gil_scoped_acquire gil;
    if (echo->broken) return;
    try {
      echo->write(decode(text, size));
    } catch (py::error_already_set& e) {
      echo->broken = true;
      e.discard_as_unraisable("TILEVISTA console echo");
    }
  } catch (...) {
    echo->broken = true;  // the text stays in the call's log all the same
  }
}

// One call of mexFunction with the given inputs; see the binding's docstring.
py::tuple callModule(const py::sequence& inputs, int nlhs, const py::object& echo,
                     bool forwardSigint) {
  if (nlhs < 0) throw std::invalid_argument("nlhs must not be negative");
  // Python code runs during a call (the echo, and signal handlers it lets
  // run); a call made from there would wait for the lock its own thread holds.
  static thread_local bool calling = false;
  if (calling) {
    throw std::runtime_error("the module cannot be called while a call of it runs on this thread "
                             "(from the console echo, for instance)");
  }
  struct Calling {
    Calling() { calling = true; }
    ~Calling() { calling = false; }
  } marker;
  // Declared first so that it is released last, after every host array below.
  std::unique_lock<std::mutex> lock(hostLock(), std::defer_lock);
  {
    py::gil_scoped_release released;
    lock.lock();
  }
  std::vector<host::Array> owned;
  std::vector<const mxArray*> handles;
  owned.reserve(py::len(inputs));
  for (const py::handle item : inputs) {
    owned.push_back(toHostArray(item));
    handles.push_back(owned.back().get());
  }

  Echo echoState{echo};
  host::ConsoleEcho consoleEcho;
  if (!echo.is_none()) {
    consoleEcho.write = echoText;
    consoleEcho.context = &echoState;
  }
  host::CallResult result;
  bool interruptedAfterCall = false;
  {
    // A request left from an earlier signal concerns no call of ours.
    host::clearInterrupt();
    std::optional<SigintForwarding> sigint;
    if (forwardSigint) sigint.emplace();
    // A Ctrl-C that came while the inputs were converted is Python's to raise.
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    {
      py::gil_scoped_release released;
      result = host::callMex(mexFunction, handles, nlhs, consoleEcho);
    }
    sigint.reset();
    // A signal after the call ended but before the handler was restored left
    // a request behind: the user pressed Ctrl-C all the same.
    if (forwardSigint && mexInterruptRequested()) {
      host::clearInterrupt();
      interruptedAfterCall = true;
    }
  }
  owned.clear();

  py::object outputs = py::none();
  if (!result.failed) {
    py::list values(result.outputs.size());
    for (std::size_t i = 0; i < result.outputs.size(); ++i) {
      values[i] = toPython(result.outputs[i].get());
    }
    outputs = std::move(values);
  }
  py::object error = py::none();
  if (result.failed) error = decode(result.error.data(), result.error.size());
  return py::make_tuple(outputs, decode(result.console.data(), result.console.size()), error,
                        interruptedAfterCall);
}

}  // namespace
}  // namespace tilevista_python

PYBIND11_MODULE(_native, m) {
  m.doc() = "The module TILEVISTA_Mex, called in-process through the substitute host.";
  m.def("call_module", &tilevista_python::callModule, py::arg("inputs"), py::arg("nlhs"),
        py::arg("echo") = py::none(), py::arg("forward_sigint") = false,
        R"doc(Call the module's entry point once.

Parameters
----------
inputs : sequence
    The call's inputs: None (an empty matrix), 2-D float64 or complex128
    arrays (matrices, any strides), 3-D such arrays (a 1 x Q cell of their
    slices) or lists of these (1 x n cells).
nlhs : int
    Number of outputs requested.
echo : callable, optional
    Called with each piece of console text as the module prints it.
forward_sigint : bool
    Turn SIGINT into an interrupt request while the call runs (main thread
    only).

Returns
-------
tuple
    (outputs, console, error, interrupted_after_call): the list of outputs
    (None for an empty slot, lists for cells, 2-D float64 arrays for
    matrices) or None after an error; the console text; the error text or
    None; and whether SIGINT came after the call had ended.
)doc");
}
