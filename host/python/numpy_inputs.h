// The arguments of a call from Python as the module's checks see them: NumPy
// arrays described in place, their values read through the pointers NumPy
// holds (the pursuit copies every block and dictionary into storage of its own
// when it starts).
#ifndef TILEVISTA_PYTHON_NUMPY_INPUTS_H
#define TILEVISTA_PYTHON_NUMPY_INPUTS_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "call_checks.h"

namespace tilevista_python {

/// The five inputs of a call (blocks, Dy, Dx, tol, max_atoms) as CallInputs.
///
/// Each matrix must be None (an empty matrix, as an omitted argument) or a 2-D
/// NumPy array of dtype float64 or complex128 in native byte order. A float64
/// array must be column-major (F-contiguous) and aligned: its values are read
/// where they are. Complex arrays are described (the checks reject them) but
/// never read. `blocks` is one of
///   - a 3-D array, Q x rows x cols: a 1 x Q cell of its slices, each of which
///     must be column-major (the slices may lie anywhere);
///   - a list or tuple of matrices: a 1 x n cell;
///   - a matrix, in any layout: not a cell (the checks reject it unread).
/// Build it with the GIL held; afterwards it reads no Python object, so the
/// checks may run without the GIL. The arrays must outlive it.
class NumpyInputs : public CallInputs {
 public:
  /// @param inputs  in, the five inputs, as above
  /// @throws std::invalid_argument for anything else
  explicit NumpyInputs(const pybind11::sequence& inputs);

  int count() const override { return static_cast<int>(inputs_.size()); }
  ArrayFacts input(int position) const override { return inputs_[position]; }
  ArrayFacts block(std::int64_t i) const override;

 private:
  std::vector<ArrayFacts> inputs_;
  // The blocks of a 3-D array: the first slice's facts and the byte distance
  // between slices.
  bool stacked_ = false;
  ArrayFacts slice_;
  std::int64_t sliceStride_ = 0;
  // The blocks of a list.
  std::vector<ArrayFacts> blocks_;
};

}  // namespace tilevista_python

#endif  // TILEVISTA_PYTHON_NUMPY_INPUTS_H
