// A small column-major matrix for the kernel tests (leading dimension = rows).
#ifndef TILEVISTA_COLUMN_MATRIX_H
#define TILEVISTA_COLUMN_MATRIX_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct Matrix {
  std::int32_t rows = 0;
  std::int32_t cols = 0;
  std::vector<double> data;
  Matrix(std::int32_t r, std::int32_t c, double fill = 0.0)
      : rows(r), cols(c), data(std::size_t(r) * std::size_t(c), fill) {}
  double& at(std::int32_t r, std::int32_t c) { return data[std::size_t(r) + std::size_t(rows) * c]; }
  double at(std::int32_t r, std::int32_t c) const {
    return data[std::size_t(r) + std::size_t(rows) * c];
  }
  double* column(std::int32_t c) { return data.data() + std::size_t(rows) * c; }
  const double* column(std::int32_t c) const { return data.data() + std::size_t(rows) * c; }
  std::vector<double> columnCopy(std::int32_t c) const {
    return std::vector<double>(column(c), column(c) + rows);
  }
};

#endif  // TILEVISTA_COLUMN_MATRIX_H
