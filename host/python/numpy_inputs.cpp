#include "numpy_inputs.h"

#include <pybind11/complex.h>
#include <pybind11/numpy.h>

#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace tilevista_python {
namespace {

const char* const kNames[] = {"blocks", "Dy", "Dx", "tol", "max_atoms"};
constexpr int kInputs = 5;
constexpr py::ssize_t kDouble = sizeof(double);

// Whether an m x n matrix with these byte strides lies column by column
// without gaps, as the pursuit reads it. Strides of a dimension of length 1
// do not matter, nor any stride of an empty matrix.
bool columnMajor(py::ssize_t m, py::ssize_t n, py::ssize_t rowStride, py::ssize_t colStride) {
  if (m == 0 || n == 0) return true;
  return (m == 1 || rowStride == kDouble) && (n == 1 || colStride == m * kDouble);
}

bool aligned(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
}

[[noreturn]] void refuse(const std::string& name, const std::string& what) {
  throw std::invalid_argument("tilevista._native: " + name + " " + what);
}

// The facts of an m x n matrix at data (float64 or complex128).
ArrayFacts matrixFacts(const void* data, py::ssize_t m, py::ssize_t n, bool complex) {
  ArrayFacts facts;
  facts.exists = true;
  facts.isDouble = true;
  facts.isComplex = complex;
  facts.className = "double";
  facts.rows = m;
  facts.cols = n;
  if (!complex) facts.values = static_cast<const double*>(data);
  return facts;
}

// A float64 or complex128 array in native byte order, or a refusal.
py::array numericArray(py::handle value, const std::string& name, bool* complex) {
  if (!py::isinstance<py::array>(value)) {
    refuse(name, "must be None or a NumPy array, not " +
                     std::string(py::str(py::type::handle_of(value))));
  }
  auto array = py::reinterpret_borrow<py::array>(value);
  *complex = py::isinstance<py::array_t<std::complex<double>>>(array);
  if (!*complex && !py::isinstance<py::array_t<double>>(array)) {
    refuse(name, "must be float64 or complex128 in native byte order; it is " +
                     std::string(py::str(array.dtype())));
  }
  return array;
}

// The facts of a matrix argument: None (an empty matrix) or a 2-D array. One
// whose values are not read is described in any layout.
ArrayFacts matrixOf(py::handle value, const std::string& name, bool read = true) {
  if (value.is_none()) return matrixFacts(nullptr, 0, 0, false);
  bool complex = false;
  const py::array array = numericArray(value, name, &complex);
  if (array.ndim() != 2) {
    refuse(name, "must have 2 dimensions; it has " + std::to_string(array.ndim()));
  }
  const bool real = !complex && read;
  if (real && !(columnMajor(array.shape(0), array.shape(1), array.strides(0), array.strides(1)) &&
                aligned(array.data()))) {
    refuse(name, "must be column-major (F-contiguous) and aligned");
  }
  ArrayFacts facts = matrixFacts(array.data(), array.shape(0), array.shape(1), complex);
  if (!read) facts.values = nullptr;
  return facts;
}

// The facts of a 1 x n cell array.
ArrayFacts cellFacts(std::int64_t n) {
  ArrayFacts facts;
  facts.exists = true;
  facts.isCell = true;
  facts.className = "cell";
  facts.rows = 1;
  facts.cols = n;
  return facts;
}

}  // namespace

NumpyInputs::NumpyInputs(const py::sequence& inputs) {
  if (py::len(inputs) != kInputs) {
    throw std::invalid_argument("tilevista._native: a call takes 5 inputs");
  }
  inputs_.resize(kInputs);
  for (int i = kDictionaryYInput; i < kInputs; ++i) inputs_[i] = matrixOf(inputs[i], kNames[i]);

  const py::object blocks = inputs[kBlocksInput];
  if (py::isinstance<py::list>(blocks) || py::isinstance<py::tuple>(blocks)) {
    const auto items = py::reinterpret_borrow<py::sequence>(blocks);
    const std::size_t count = py::len(items);
    blocks_.reserve(count);
    for (std::size_t q = 0; q < count; ++q) {
      blocks_.push_back(matrixOf(items[q], "blocks[" + std::to_string(q) + "]"));
    }
    inputs_[kBlocksInput] = cellFacts(static_cast<std::int64_t>(count));
    return;
  }
  bool complex = false;
  if (blocks.is_none() || numericArray(blocks, "blocks", &complex).ndim() == 2) {
    // Not a cell: the checks reject it without reading it.
    inputs_[kBlocksInput] = matrixOf(blocks, "blocks", false);
    return;
  }
  const auto stack = py::reinterpret_borrow<py::array>(blocks);
  if (stack.ndim() != 3) {
    refuse("blocks", "must have 2 or 3 dimensions; it has " + std::to_string(stack.ndim()));
  }
  // An empty stack is not read.
  if (!complex && stack.shape(0) > 0 &&
      !(columnMajor(stack.shape(1), stack.shape(2), stack.strides(1), stack.strides(2)) &&
        aligned(stack.data()) && (stack.shape(0) == 1 || stack.strides(0) % kDouble == 0))) {
    refuse("blocks", "must hold column-major (F-contiguous) aligned blocks");
  }
  stacked_ = true;
  slice_ = matrixFacts(stack.data(), stack.shape(1), stack.shape(2), complex);
  sliceStride_ = stack.strides(0);
  inputs_[kBlocksInput] = cellFacts(stack.shape(0));
}

ArrayFacts NumpyInputs::block(std::int64_t i) const {
  if (!stacked_) return blocks_[static_cast<std::size_t>(i)];
  ArrayFacts facts = slice_;
  if (facts.values != nullptr) {
    facts.values = reinterpret_cast<const double*>(reinterpret_cast<const char*>(slice_.values) +
                                                   i * sliceStride_);
  }
  return facts;
}

}  // namespace tilevista_python
