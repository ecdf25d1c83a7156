// NumPy arrays in and out of the substitute host's arrays: the one place where
// Python values become the module's inputs and its outputs become Python values.
#ifndef TILEVISTA_PYTHON_NUMPY_ARRAYS_H
#define TILEVISTA_PYTHON_NUMPY_ARRAYS_H

#include <pybind11/pybind11.h>

#include "host_call.h"

namespace tilevista_python {

/// A host array holding value, which must be one of:
///   None                         -> an empty 0 x 0 double matrix;
///   a 2-D float64 or complex128 array of any strides -> an m x n double
///     matrix (complex for complex128), elements read through the strides;
///   a 3-D float64 or complex128 array (Q x m x n) -> a 1 x Q cell of its Q
///     m x n slices;
///   a list or tuple of these     -> a 1 x len cell of their host arrays.
/// Byte order must be native. Throws std::invalid_argument for anything else and
/// std::bad_alloc when the host cannot create the array. Call with the GIL held
/// and no module call running.
host::Array toHostArray(pybind11::handle value);

/// The Python value of a host array the module returned: None for a null
/// handle, a list of the elements' values (in linear order) for a cell array,
/// a 2-D float64 array (m x n, Fortran order) for a real double matrix. Throws
/// std::invalid_argument for any other class. Call with the GIL held.
pybind11::object toPython(const mxArray* a);

}  // namespace tilevista_python

#endif  // TILEVISTA_PYTHON_NUMPY_ARRAYS_H
