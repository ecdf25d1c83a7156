// The filter across blocks' edges (edge_filter.h).
#include "edge_filter.h"

#include <cmath>

namespace tilevista {

namespace {

// Filters one line across an edge: the four samples at p1, p0, q0, q1, each
// `stride` apart in memory (p0 at `at`, q0 at `at + stride`).
void filterLine(double* at, std::ptrdiff_t stride, double alpha) {
  double& p1 = at[-stride];
  double& p0 = at[0];
  double& q0 = at[stride];
  double& q1 = at[2 * stride];
  const double d = q0 - p0;
  if (!(std::fabs(d) < alpha && std::fabs(p1 - p0) < 0.5 * alpha &&
        std::fabs(q1 - q0) < 0.5 * alpha)) {
    return;
  }
  p0 += 0.25 * d;
  q0 -= 0.25 * d;
  p1 += 0.125 * d;
  q1 -= 0.125 * d;
}

}  // namespace

void filterBlockEdges(const PlaneGeometry& g, std::vector<double>& planes, double step,
                      std::int32_t strength) {
  if (strength <= 0) return;
  const double alpha = 0.5 * double(strength) * step;
  const std::ptrdiff_t height = std::ptrdiff_t(g.paddedRows());
  const std::ptrdiff_t width = std::ptrdiff_t(g.paddedCols());
  for (std::int32_t ch = 0; ch < g.channels; ++ch) {
    double* plane = planes.data() + std::size_t(ch) * g.planeSize();
    if (g.blockCols >= 4) {  // edges between block columns: lines are rows
      for (std::ptrdiff_t c = g.blockCols; c < width; c += g.blockCols) {
        for (std::ptrdiff_t r = 0; r < height; ++r) filterLine(plane + (c - 1) * height + r, height, alpha);
      }
    }
    if (g.blockRows >= 4) {  // edges between block rows: lines are columns
      for (std::ptrdiff_t c = 0; c < width; ++c) {
        for (std::ptrdiff_t r = g.blockRows; r < height; r += g.blockRows) {
          filterLine(plane + c * height + r - 1, 1, alpha);
        }
      }
    }
  }
}

}  // namespace tilevista
