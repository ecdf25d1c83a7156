#include "numpy_outputs.h"

#include <pybind11/numpy.h>

#include <cstring>
#include <new>

namespace py = pybind11;

namespace tilevista_python {
namespace {

constexpr py::ssize_t kDouble = sizeof(double);

double* allocate(std::size_t count) {
  void* memory = std::malloc(count * sizeof(double));
  if (memory == nullptr) throw std::bad_alloc();
  return static_cast<double*>(memory);
}

void freeMemory(void* memory) { std::free(memory); }

// A NumPy array of element type T over memory that it takes over and frees;
// empty arrays own nothing.
template <typename T, typename Owned>
py::array adopt(Owned&& memory, std::vector<py::ssize_t> shape, std::vector<py::ssize_t> strides) {
  if (memory == nullptr) return py::array_t<T>(shape, strides);
  py::capsule owner(memory.get(), freeMemory);  // frees it from here on
  return py::array_t<T>(shape, strides, reinterpret_cast<T*>(memory.release()), owner);
}

// An rows x cols matrix in Fortran order.
template <typename Owned>
py::array matrix(Owned&& memory, py::ssize_t rows, py::ssize_t cols) {
  return adopt<double>(std::forward<Owned>(memory), {rows, cols}, {kDouble, kDouble * rows});
}

// The module's 1-based atom indices, doubles, as 0-based int64 in the same
// memory (both are 8 bytes).
template <typename Owned>
py::array zeroBasedIndices(Owned&& memory, std::int32_t m) {
  double* values = memory.get();
  for (std::int32_t i = 0; i < m; ++i) {
    const auto index = static_cast<std::int64_t>(values[i]) - 1;
    std::memcpy(values + i, &index, sizeof index);
  }
  return adopt<std::int64_t>(std::forward<Owned>(memory), {m}, {kDouble});
}

template <typename T>
py::array adoptVector(std::vector<T>&& values) {
  std::unique_ptr<std::vector<T>> owned(new std::vector<T>(std::move(values)));
  const auto size = static_cast<py::ssize_t>(owned->size());
  py::capsule owner(owned.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
  T* data = owned.release()->data();
  return py::array_t<T>({size}, {static_cast<py::ssize_t>(sizeof(T))}, data, owner);
}

}  // namespace

NumpyOutputs::NumpyOutputs(const CheckedCall& call, bool duals, bool bases)
    : call_(call), duals_(duals), bases_(bases), blocks_(static_cast<std::size_t>(call.blockCount)) {}

BlockOutputs NumpyOutputs::blockOutputs(std::int32_t q, std::int32_t m) {
  const std::size_t N = std::size_t(call_.rows) * std::size_t(call_.cols);
  const std::size_t M = static_cast<std::size_t>(m);
  Block& block = blocks_[static_cast<std::size_t>(q)];
  block.m = m;
  block.approximation.reset(allocate(N));
  if (m > 0) {
    block.yIndex.reset(allocate(M));
    block.xIndex.reset(allocate(M));
    block.coefficients.reset(allocate(M));
    if (duals_) block.dual.reset(allocate(N * M));
    if (bases_) block.ortho.reset(allocate(N * M));
  }
  BlockOutputs out;
  out.approximation = block.approximation.get();
  out.yIndex = block.yIndex.get();
  out.xIndex = block.xIndex.get();
  out.coefficients = block.coefficients.get();
  out.dual = block.dual.get();
  out.ortho = block.ortho.get();
  return out;
}

py::tuple NumpyOutputs::release() {
  const py::ssize_t rows = call_.rows, cols = call_.cols, N = rows * cols;
  const std::size_t Q = blocks_.size();
  py::list approximations(Q), y(Q), x(Q), coefficients(Q);
  py::list duals(duals_ ? Q : 0), ortho(bases_ ? Q : 0);
  for (std::size_t q = 0; q < Q; ++q) {
    Block& block = blocks_[q];
    approximations[q] = matrix(std::move(block.approximation), rows, cols);
    y[q] = zeroBasedIndices(std::move(block.yIndex), block.m);
    x[q] = zeroBasedIndices(std::move(block.xIndex), block.m);
    coefficients[q] = adopt<double>(std::move(block.coefficients), {block.m}, {kDouble});
    if (duals_) duals[q] = matrix(std::move(block.dual), N, block.m);
    if (bases_) ortho[q] = matrix(std::move(block.ortho), N, block.m);
  }
  blocks_.clear();
  const auto declinable = [](const py::list& list, bool wanted) {
    return wanted ? py::object(list) : py::object(py::none());
  };
  return py::make_tuple(approximations, y, x, declinable(duals, duals_), coefficients,
                        declinable(ortho, bases_));
}

py::tuple curveArrays(PursuitCurve&& curve, double tol, std::int32_t blocks) {
  return py::make_tuple(adoptVector(std::move(curve.block)), adoptVector(std::move(curve.position)),
                        adoptVector(std::move(curve.energy)), tol, blocks);
}

}  // namespace tilevista_python
