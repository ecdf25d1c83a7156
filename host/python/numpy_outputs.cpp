#include "numpy_outputs.h"

#include <pybind11/numpy.h>

#include <cstring>
#include <memory>

#include "index_columns.h"

namespace py = pybind11;

namespace tilevista_python {
namespace {

constexpr py::ssize_t kDouble = sizeof(double);

void releaseSlab(void* slab) { static_cast<Slab*>(slab)->release(); }

// A NumPy array of element type T over a piece of a slab, which it keeps until
// NumPy is done with it; empty arrays hold no piece.
template <typename T>
py::array adopt(SlabPiece&& piece, std::vector<py::ssize_t> shape,
                std::vector<py::ssize_t> strides) {
  if (piece.data() == nullptr) return py::array_t<T>(shape, strides);
  T* data = reinterpret_cast<T*>(piece.data());
  py::capsule owner(piece.slab(), releaseSlab);
  piece.handOver();  // the capsule's from here on
  return py::array_t<T>(shape, strides, data, owner);
}

// An rows x cols matrix in Fortran order.
py::array matrix(SlabPiece&& piece, py::ssize_t rows, py::ssize_t cols) {
  return adopt<double>(std::move(piece), {rows, cols}, {kDouble, kDouble * rows});
}

// The pursuit's 0-based 32-bit atom indices as int64, in the same memory.
py::array int64Indices(SlabPiece&& piece, std::int32_t m) {
  if (m > 0) widenToInt64(piece.data(), m);
  return adopt<std::int64_t>(std::move(piece), {m}, {kDouble});
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
    : call_(call),
      duals_(duals),
      bases_(bases),
      blocks_(static_cast<std::size_t>(call.blockCount)) {}

BlockOutputs NumpyOutputs::blockOutputs(std::int32_t q, std::int32_t m) {
  const std::size_t N = std::size_t(call_.rows) * std::size_t(call_.cols);
  const std::size_t M = static_cast<std::size_t>(m);
  Block& block = blocks_[static_cast<std::size_t>(q)];
  block.m = m;
  block.approximation = approximations_.take(N);
  if (m > 0) {
    block.yIndex = atomVectors_.take(M);
    block.xIndex = atomVectors_.take(M);
    block.coefficients = atomVectors_.take(M);
    if (duals_) block.dual = dualsMemory_.take(N * M);
    if (bases_) block.ortho = basesMemory_.take(N * M);
  }
  BlockOutputs out;
  out.approximation = block.approximation.data();
  out.yIndex = indexSlots(block.yIndex.data());
  out.xIndex = indexSlots(block.xIndex.data());
  out.coefficients = block.coefficients.data();
  out.dual = block.dual.data();
  out.ortho = block.ortho.data();
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
    y[q] = int64Indices(std::move(block.yIndex), block.m);
    x[q] = int64Indices(std::move(block.xIndex), block.m);
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
