// The shared reconstruction (reconstruction.h). Plain loops in a fixed order,
// no BLAS: the sums are then the same in the encoder and the decoder whatever
// kernels a BLAS would pick.
#include "reconstruction.h"

namespace tilevista {

double vectorSum(const double* u, std::int32_t N) {
  double sum = 0.0;
  for (std::int32_t i = 0; i < N; ++i) sum += u[i];
  return sum;
}

double firstPrediction(const PlaneGeometry& g, const std::vector<double>& planes, std::int64_t q,
                       double firstSum) {
  return neighbourMean(g, planes, q) * firstSum;
}

void placeBlock(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q,
                const double* U, const double* coefficients, std::int32_t m, double* block) {
  const std::size_t N = std::size_t(g.blockPixels());
  for (std::size_t i = 0; i < N; ++i) block[i] = 0.0;
  for (std::int32_t k = 0; k < m; ++k) {
    const double* u = U + N * std::size_t(k);
    const double c = coefficients[k];
    for (std::size_t i = 0; i < N; ++i) block[i] += c * u[i];
  }
  writeBlock(g, planes, q, block);
}

void placeAtoms(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q, const double* Dy,
                const double* Dx, const std::uint16_t* y, const std::uint16_t* x,
                const double* coefficients, std::int32_t m, double* block) {
  const std::size_t rows = std::size_t(g.blockRows), cols = std::size_t(g.blockCols);
  for (std::size_t i = 0; i < rows * cols; ++i) block[i] = 0.0;
  for (std::int32_t k = 0; k < m; ++k) {
    const double* dy = Dy + std::size_t(y[k]) * rows;
    const double* dx = Dx + std::size_t(x[k]) * cols;
    const double c = coefficients[k];
    for (std::size_t j = 0; j < cols; ++j) {
      double* column = block + j * rows;
      for (std::size_t i = 0; i < rows; ++i) column[i] += c * (dy[i] * dx[j]);
    }
  }
  writeBlock(g, planes, q, block);
}

std::int32_t edgeLength(const PlaneGeometry& g) { return g.blockRows + g.blockCols - 1; }

namespace {

// Row and column in the block of edge sample j.
struct EdgeSample {
  std::size_t row, col;
};
EdgeSample edgeSampleAt(const PlaneGeometry& g, std::int32_t j) {
  if (j < g.blockRows) return {std::size_t(j), std::size_t(g.blockCols - 1)};
  return {std::size_t(g.blockRows - 1), std::size_t(j - g.blockRows)};
}

// Position in the block of edge sample j.
std::size_t edgeSample(const PlaneGeometry& g, std::int32_t j) {
  const EdgeSample at = edgeSampleAt(g, j);
  return at.col * std::size_t(g.blockRows) + at.row;
}

}  // namespace

void vectorEdges(const PlaneGeometry& g, const double* U, std::int32_t m, double* edges) {
  const std::size_t N = std::size_t(g.blockPixels());
  const std::int32_t E = edgeLength(g);
  for (std::int32_t k = 0; k < m; ++k) {
    for (std::int32_t j = 0; j < E; ++j) {
      edges[std::size_t(k) * std::size_t(E) + std::size_t(j)] = U[std::size_t(k) * N + edgeSample(g, j)];
    }
  }
}

namespace {

// Writes a block's edge samples (edgeLength, in vectorEdges' order) into the planes.
void writeEdges(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q, const double* sums) {
  double* origin = planes.data() + blockOrigin(g, q);
  const std::size_t height = std::size_t(g.paddedRows());
  double* column = origin + std::size_t(g.blockCols - 1) * height;
  for (std::int32_t r = 0; r < g.blockRows; ++r) column[r] = sums[r];
  double* row = origin + std::size_t(g.blockRows - 1);
  for (std::int32_t c = 0; c + 1 < g.blockCols; ++c) row[std::size_t(c) * height] = sums[g.blockRows + c];
}

}  // namespace

void placeBlockEdges(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q,
                     const double* edges, const double* coefficients, std::int32_t m) {
  const std::int32_t E = edgeLength(g);
  double sums[2 * 64];
  for (std::int32_t j = 0; j < E; ++j) sums[j] = 0.0;
  for (std::int32_t k = 0; k < m; ++k) {
    const double* e = edges + std::size_t(k) * std::size_t(E);
    const double c = coefficients[k];
    for (std::int32_t j = 0; j < E; ++j) sums[j] += c * e[j];
  }
  writeEdges(g, planes, q, sums);
}

void placeAtomEdges(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q, const double* Dy,
                    const double* Dx, const std::int32_t* y, const std::int32_t* x,
                    const double* coefficients, std::int32_t m) {
  const std::size_t rows = std::size_t(g.blockRows), cols = std::size_t(g.blockCols);
  double sums[2 * 64];
  for (std::size_t j = 0; j + 1 < rows + cols; ++j) sums[j] = 0.0;
  for (std::int32_t k = 0; k < m; ++k) {
    const double* dy = Dy + std::size_t(y[k]) * rows;
    const double* dx = Dx + std::size_t(x[k]) * cols;
    const double c = coefficients[k];
    // The last column, then the last row but the corner, as placeAtoms sums them.
    for (std::size_t i = 0; i < rows; ++i) sums[i] += c * (dy[i] * dx[cols - 1]);
    for (std::size_t j = 0; j + 1 < cols; ++j) sums[rows + j] += c * (dy[rows - 1] * dx[j]);
  }
  writeEdges(g, planes, q, sums);
}

void blockCoefficients(const Dequantizer& dq, const std::int32_t* levels, std::int32_t m,
                       double prediction, double* coefficients) {
  for (std::int32_t k = 0; k < m; ++k) coefficients[k] = dq.value(levels[k]);
  if (m > 0) coefficients[0] += prediction;
}

}  // namespace tilevista
