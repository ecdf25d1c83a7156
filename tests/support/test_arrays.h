// Building host arrays for tests and reading results back.
#ifndef TILEVISTA_TEST_ARRAYS_H
#define TILEVISTA_TEST_ARRAYS_H

#include <cstddef>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "host_call.h"
#include "tilevista/pursuit.h"

namespace testing_arrays {

/// A real double matrix rows x cols from column-major values (zeros if empty).
host::Array matrix(std::size_t rows, std::size_t cols, const std::vector<double>& values = {});
/// A 1 x 1 real double.
host::Array scalar(double value);
/// A d x nc cell holding copies of the given arrays (null entries stay empty).
host::Array cell(std::size_t d, std::size_t nc, const std::vector<const mxArray*>& elements);
/// The column-major values of a double matrix.
std::vector<double> values(const mxArray* a);
/// Random values, uniform in [-1, 1].
std::vector<double> randomValues(std::size_t n, std::mt19937& rng);

/// The module's seven outputs, or the error of a rejected call.
struct ModuleCall {
  host::CallResult result;
  /// How the pursuit worked, when the call ran it to its end.
  PursuitStatistics statistics;
  /// Element i of output `output` (a cell), or null.
  const mxArray* element(int output, std::size_t i) const;
  /// Values of element i of cell output `output` (empty for an empty element).
  std::vector<double> elementValues(int output, std::size_t i) const;
  double totalAtoms() const;
};

/// Calls the module in-process through the substitute host, as mexFunction
/// does, keeping the call's statistics.
ModuleCall callModule(const std::vector<const mxArray*>& inputs, int nlhs = 7);

/// A blocks cell of Q = d * nc random blocks plus dictionaries, owned together.
struct Problem {
  std::size_t rows = 0, cols = 0, Ky = 0, Kx = 0, d = 0, nc = 0;
  std::vector<std::vector<double>> blocks;  // Q blocks, column-major rows x cols
  std::vector<double> Dy, Dx;               // rows x Ky, cols x Kx
  host::Array blockCell, dictionaryY, dictionaryX;
  void build();  // (re)creates the host arrays from the vectors
};
Problem randomProblem(std::size_t rows, std::size_t cols, std::size_t Ky, std::size_t Kx,
                      std::size_t d, std::size_t nc, unsigned seed);

/// Sets TILEVISTA_THREADS, which the module reads at every call, for one
/// scope; unset afterwards.
class ThreadSetting {
 public:
  explicit ThreadSetting(const std::string& value);
  ~ThreadSetting();
  ThreadSetting(const ThreadSetting&) = delete;
  ThreadSetting& operator=(const ThreadSetting&) = delete;
};

}  // namespace testing_arrays

#endif  // TILEVISTA_TEST_ARRAYS_H
