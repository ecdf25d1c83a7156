// Finding, among the kept atoms of a dictionary, one that a new unit atom
// repeats (|cos angle| > 1 - kRepeatTolerance), without comparing it with
// every kept atom: atoms are filed by the absolute value of their inner
// product with a fixed unit vector w. Two unit atoms that repeat each other
// differ (up to sign) by less than sqrt(2 kRepeatTolerance) in norm, so their
// keys differ by less than that too, and only atoms with keys that close are
// compared.
#ifndef TILEVISTA_REPEAT_INDEX_H
#define TILEVISTA_REPEAT_INDEX_H

#include <cstdint>
#include <map>
#include <vector>

namespace tilevista {

class RepeatIndex {
 public:
  /// An empty index for atoms of length n (>= 1).
  explicit RepeatIndex(std::int32_t n);

  /// The lowest column among the filed atoms that `atom` repeats, or -1.
  /// @param atom    in: n values, unit norm
  /// @param matrix  in: the filed atoms' columns, n x (columns filed), column-major
  std::int32_t find(const double* atom, const std::vector<double>& matrix) const;

  /// Files column `column` of the matrix, n values of unit norm at `atom`.
  void add(const double* atom, std::int32_t column);

 private:
  double key(const double* atom) const;

  std::int32_t n_;
  std::vector<double> direction_;
  std::multimap<double, std::int32_t> keys_;
};

}  // namespace tilevista

#endif  // TILEVISTA_REPEAT_INDEX_H
