// The results of a call from Python: the pursuit writes them into memory this
// sink allocates, and NumPy then owns that memory, without a copy.
#ifndef TILEVISTA_PYTHON_NUMPY_OUTPUTS_H
#define TILEVISTA_PYTHON_NUMPY_OUTPUTS_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "call_checks.h"
#include "tilevista/pursuit.h"
#include "output_memory.h"

namespace tilevista_python {

/// The sink of a call from Python. The pursuit asks for a block's arrays on the
/// calling thread with the GIL released, so they are cut from memory of the
/// sink's own (output_memory.h); after the call, release() wraps each in a
/// NumPy array that keeps its memory until NumPy is done with it. Arrays
/// declined (dual vectors, orthonormal vectors) are never allocated. Memory
/// not handed over is freed with the sink.
class NumpyOutputs : public PursuitSink {
 public:
  /// @param call   in, the checked call (block size and count); must outlive the sink
  /// @param duals  whether the dual vectors are wanted
  /// @param bases  whether the orthonormal vectors are wanted
  NumpyOutputs(const CheckedCall& call, bool duals, bool bases);

  /// @throws std::bad_alloc when the memory cannot be had
  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override;
  /// True: a failure is std::bad_alloc, and the GIL is not needed.
  bool failsByUnwinding() const override { return true; }

  /// The results as NumPy arrays, per output a list with one entry per block:
  /// (approximations: rows x cols float64, Fortran order; y indices and
  /// x indices: int64 m-vectors, 0-based; duals: N x m float64, Fortran order,
  /// or None when declined; coefficients: float64 m-vectors; orthonormal
  /// vectors: as duals). Call once, with the GIL held, after a completed call.
  pybind11::tuple release();

 private:
  struct Block {
    std::int32_t m = 0;
    SlabPiece approximation, yIndex, xIndex, coefficients, dual, ortho;
  };

  const CheckedCall& call_;
  bool duals_, bases_;
  std::vector<Block> blocks_;
  // One stream per kind of output; the indices and coefficients share one.
  SlabStream approximations_, atomVectors_, dualsMemory_, basesMemory_;
};

/// The curve of a call as (block, position, energy, tol, blocks): NumPy arrays
/// with one entry per atom (int32, int32, float64) that take over the vectors'
/// memory, then the call's tol and number of blocks. Call with the GIL held.
/// @param curve   in, emptied: the pursuit's curve
/// @param tol     the tol the call ran with
/// @param blocks  its number of blocks
pybind11::tuple curveArrays(PursuitCurve&& curve, double tol, std::int32_t blocks);

}  // namespace tilevista_python

#endif  // TILEVISTA_PYTHON_NUMPY_OUTPUTS_H
