// Conversion between NumPy arrays and the substitute host's arrays.
#include "numpy_arrays.h"

#include <pybind11/complex.h>
#include <pybind11/numpy.h>

#include <complex>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "mex.h"

namespace py = pybind11;

namespace tilevista_python {
namespace {

using Complex = std::complex<double>;

// An input the host cannot hold. Derived from std::bad_alloc, so that Python
// sees a MemoryError, with a message that says which array.
class InputTooLarge : public std::bad_alloc {
 public:
  InputTooLarge(std::size_t m, std::size_t n)
      : text_("not enough memory to pass a " + std::to_string(m) + " x " + std::to_string(n) +
              " array to the module") {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// A new m x n double matrix, or InputTooLarge.
host::Array newMatrix(std::size_t m, std::size_t n, mxComplexity complexity) {
  try {
    return host::Array(mxCreateDoubleMatrix(m, n, complexity));
  } catch (const std::bad_alloc&) {
    throw InputTooLarge(m, n);
  }
}

// A read-only view of one m x n matrix inside a NumPy array: element (i, j) is
// at base + i * rowStride + j * columnStride bytes, strides of either sign.
struct StridedMatrix {
  const char* base;
  std::size_t m, n;
  py::ssize_t rowStride, columnStride;

  const char* at(std::size_t i, std::size_t j) const {
    return base + static_cast<py::ssize_t>(i) * rowStride +
           static_cast<py::ssize_t>(j) * columnStride;
  }
};

// Copies a real matrix into a new double matrix, column by column. The elements
// are read with memcpy: a NumPy array need not be aligned.
host::Array realMatrix(const StridedMatrix& source) {
  host::Array a = newMatrix(source.m, source.n, mxREAL);
  double* out = mxGetPr(a.get());
  for (std::size_t j = 0; j < source.n; ++j) {
    for (std::size_t i = 0; i < source.m; ++i) {
      std::memcpy(out++, source.at(i, j), sizeof(double));
    }
  }
  return a;
}

// As realMatrix, splitting complex elements into the real and imaginary parts.
host::Array complexMatrix(const StridedMatrix& source) {
  host::Array a = newMatrix(source.m, source.n, mxCOMPLEX);
  double* re = mxGetPr(a.get());
  double* im = mxGetPi(a.get());
  for (std::size_t j = 0; j < source.n; ++j) {
    for (std::size_t i = 0; i < source.m; ++i) {
      Complex z;
      std::memcpy(&z, source.at(i, j), sizeof z);
      *re++ = z.real();
      *im++ = z.imag();
    }
  }
  return a;
}

// The host array of a float64 or complex128 array of 2 or 3 dimensions.
host::Array fromArray(const py::array& array) {
  const bool real = py::isinstance<py::array_t<double>>(array);
  if (!real && !py::isinstance<py::array_t<Complex>>(array)) {
    throw std::invalid_argument("an array passed to the module must be float64 or complex128 "
                                "in native byte order; it is " +
                                std::string(py::str(array.dtype())));
  }
  const auto matrix = [&](const char* base, int first) {
    const StridedMatrix view{base, static_cast<std::size_t>(array.shape(first)),
                             static_cast<std::size_t>(array.shape(first + 1)),
                             array.strides(first), array.strides(first + 1)};
    return real ? realMatrix(view) : complexMatrix(view);
  };
  const char* data = static_cast<const char*>(array.data());
  if (array.ndim() == 2) return matrix(data, 0);
  if (array.ndim() == 3) {
    const std::size_t count = static_cast<std::size_t>(array.shape(0));
    host::Array cell(mxCreateCellMatrix(1, count));
    for (std::size_t q = 0; q < count; ++q) {
      mxSetCell(cell.get(), q, matrix(data + static_cast<py::ssize_t>(q) * array.strides(0), 1)
                                   .release());
    }
    return cell;
  }
  throw std::invalid_argument("an array passed to the module must have 2 or 3 dimensions; it has " +
                              std::to_string(array.ndim()));
}

}  // namespace

host::Array toHostArray(py::handle value) {
  if (value.is_none()) return host::Array(mxCreateDoubleMatrix(0, 0, mxREAL));
  if (py::isinstance<py::array>(value)) return fromArray(py::reinterpret_borrow<py::array>(value));
  if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
    const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
    const std::size_t count = py::len(items);
    host::Array cell(mxCreateCellMatrix(1, count));
    for (std::size_t i = 0; i < count; ++i) {
      mxSetCell(cell.get(), i, toHostArray(items[i]).release());
    }
    return cell;
  }
  throw std::invalid_argument("the module takes None, NumPy arrays and lists of them, not " +
                              std::string(py::str(py::type::handle_of(value))));
}

py::object toPython(const mxArray* a) {
  if (a == nullptr) return py::none();
  const std::size_t m = mxGetM(a), n = mxGetN(a);
  if (mxIsCell(a)) {
    const std::size_t count = mxGetNumberOfElements(a);
    py::list items(count);
    for (std::size_t i = 0; i < count; ++i) items[i] = toPython(mxGetCell(a, i));
    return std::move(items);
  }
  if (mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a)) {
    py::array_t<double, py::array::f_style> out({m, n});
    if (m * n > 0) std::memcpy(out.mutable_data(), mxGetPr(a), m * n * sizeof(double));
    return std::move(out);
  }
  throw std::invalid_argument(std::string("the module returned an array of class ") +
                              mxGetClassName(a) + ", which has no Python value here");
}

}  // namespace tilevista_python
