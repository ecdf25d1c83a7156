// build_dictionary: the dictionary layer's build of a description string, the
// same C++ code as the Octave function file's tilevista_dictionary, so that a
// description gives the same bits from both. The matrix reaches NumPy without
// a copy; a refused description comes back as the layer's identifier and
// message, for the package to raise as its own ValueError.
#include "dictionary_binding.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "call_checks.h"
#include "tilevista/dictionary.h"

namespace py = pybind11;

namespace tilevista_python {
namespace {

py::list atomsOf(const std::vector<tilevista::DictionaryAtom>& atoms) {
  py::list list;
  for (const tilevista::DictionaryAtom& atom : atoms) {
    list.append(py::make_tuple(atom.family, atom.parameter, atom.number));
  }
  return list;
}

// The layer's n x K column-major matrix as a Fortran-ordered array that owns
// the vector's storage.
py::array matrixOf(std::vector<double>&& values, std::int32_t n, std::int32_t K) {
  auto owned = std::make_unique<std::vector<double>>(std::move(values));
  double* data = owned->data();
  py::capsule owner(owned.get(), [](void* p) { delete static_cast<std::vector<double>*>(p); });
  owned.release();  // the capsule's from here on
  const auto size = static_cast<py::ssize_t>(sizeof(double));
  return py::array_t<double>({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(K)},
                             {size, size * n}, data, owner);
}

// See the binding's docstring.
py::tuple buildDictionary(const std::string& description, std::int64_t n) {
  tilevista::Dictionary d;
  tilevista::DictionaryError error;
  bool built = false;
  try {
    // The largest builds take about a second: other Python threads go on.
    py::gil_scoped_release released;
    built = tilevista::buildDictionary(description, n, &d, &error);
  } catch (const std::bad_alloc&) {
    return py::make_tuple(py::none(), error_id::kOutOfMemory, tilevista::dictionaryMemoryMessage());
  }
  if (!built) return py::make_tuple(py::none(), error.identifier, error.message);
  py::list repeats;
  for (const std::int32_t column : d.repeats) repeats.append(column);
  return py::make_tuple(matrixOf(std::move(d.matrix), d.length, d.atoms), d.description,
                        atomsOf(d.kept), atomsOf(d.dropped), repeats);
}

}  // namespace

void bindDictionary(py::module_& module) {
  module.attr("DICTIONARY_ERROR") = tilevista::kDictionaryErrorId;
  module.attr("MAX_DICTIONARY_LENGTH") = tilevista::kMaxDictionaryLength;
  py::list families;
  for (const std::string& name : tilevista::dictionaryFamilies()) families.append(name);
  module.attr("DICTIONARY_FAMILIES") = families;
  module.def("build_dictionary", &buildDictionary, py::arg("description"), py::arg("n"),
             R"doc(Build the dictionary a description string names, for atoms of length n.

Parameters
----------
description : str
    e.g. "cosine:16+legendre:8+haar+delta".
n : int
    Atom length (the layer refuses one outside 1..MAX_DICTIONARY_LENGTH).

Returns
-------
tuple
    When built: (matrix, description, kept, dropped, repeats): the n x K
    float64 matrix (Fortran order, unit-norm columns), the normalised
    description, the kept atoms and the dropped ones as (family, parameter,
    number) tuples (number 0-based in its term's own list), and for each
    dropped atom the 0-based column it repeats. When refused, or when memory
    ran out: (None, identifier, message).
)doc");
}

}  // namespace tilevista_python
