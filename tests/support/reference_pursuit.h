// A plain, loop-by-loop model of the block pursuit, kept apart from the module's
// code so that the module can be checked against it.
#ifndef TILEVISTA_REFERENCE_PURSUIT_H
#define TILEVISTA_REFERENCE_PURSUIT_H

#include <cstddef>
#include <string>
#include <vector>

namespace reference {

struct Result {
  // Per block, in block order.
  std::vector<std::vector<double>> approximation;  // rows*cols
  std::vector<std::vector<int>> yIndex, xIndex;    // 1-based, in order of choice
  std::vector<std::vector<double>> coefficient;    // one per atom
  std::vector<std::vector<double>> ortho, dual;    // N*m, column-major
  double totalAtoms = 0.0;
  std::string stop;  // "tol", "tol2" or "budget"
  double stopEnergy = 0.0;  // total squared residual at the tol stop
};

/// Runs the pursuit: blocks column-major rows x cols, Dy rows x Ky, Dx cols x Kx.
/// budget 0 means the capacity of all blocks.
Result pursue(const std::vector<std::vector<double>>& blocks, std::size_t rows,
              std::size_t cols, const std::vector<double>& Dy, std::size_t Ky,
              const std::vector<double>& Dx, std::size_t Kx, double tol, long long budget);

}  // namespace reference

#endif  // TILEVISTA_REFERENCE_PURSUIT_H
