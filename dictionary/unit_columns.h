// Scaling a dictionary's columns to unit Euclidean norm, in the one order of
// operations every family uses (and the toolbox's cosine dictionary has
// always used), so that the same inputs give the same bits everywhere.
#ifndef TILEVISTA_UNIT_COLUMNS_H
#define TILEVISTA_UNIT_COLUMNS_H

#include <cstdint>

namespace tilevista {

/// Divides each column by the square root of its sum of squares, summed from
/// the first row on. A column of zeros is left as it is.
/// @param values  in/out: n x count, column-major
/// @param n       rows (>= 1)
/// @param count   columns (>= 0)
void scaleToUnitNorm(double* values, std::int32_t n, std::int32_t count);

}  // namespace tilevista

#endif  // TILEVISTA_UNIT_COLUMNS_H
