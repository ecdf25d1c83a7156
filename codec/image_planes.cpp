// Shifts, the luma/chroma transform, padding and cropping (image_planes.h).
//
// The transform is orthonormal: luma (R + G + B) / sqrt 3 and two chroma
// planes (R - B) / sqrt 2 and (R - 2G + B) / sqrt 6. Its inverse is its
// transpose, and a squared error in the coded planes is the same squared error
// in the image's own samples, so the pursuit's global choice of atoms and the
// one quantizer step spend the bits where the image's PSNR gains most.
#include "image_planes.h"

#include <algorithm>
#include <cmath>

namespace tilevista {

namespace {

const double kThird = 1.0 / std::sqrt(3.0);
const double kHalf = 1.0 / std::sqrt(2.0);
const double kSixth = 1.0 / std::sqrt(6.0);

double levelShift(std::int32_t bitDepth) { return double(std::int32_t(1) << (bitDepth - 1)); }

// Fills the padding of a plane whose top-left rows x cols are set: the last
// row, then the last column, repeated.
void padPlane(const PlaneGeometry& g, double* plane) {
  const std::size_t height = std::size_t(g.paddedRows());
  const std::size_t width = std::size_t(g.paddedCols());
  for (std::size_t c = 0; c < std::size_t(g.cols); ++c) {
    double* column = plane + c * height;
    for (std::size_t r = std::size_t(g.rows); r < height; ++r) column[r] = column[g.rows - 1];
  }
  const double* last = plane + std::size_t(g.cols - 1) * height;
  for (std::size_t c = std::size_t(g.cols); c < width; ++c) {
    std::copy(last, last + height, plane + c * height);
  }
}

}  // namespace

PlaneGeometry planeGeometry(std::int32_t rows, std::int32_t cols, std::int32_t channels,
                            std::int32_t blockRows, std::int32_t blockCols,
                            std::int32_t bitDepth) {
  PlaneGeometry g;
  g.rows = rows;
  g.cols = cols;
  g.channels = channels;
  g.blockRows = blockRows;
  g.blockCols = blockCols;
  g.gridRows = (rows + blockRows - 1) / blockRows;
  g.gridCols = (cols + blockCols - 1) / blockCols;
  g.bitDepth = bitDepth;
  return g;
}

std::vector<double> codedPlanes(const PlaneGeometry& g, const double* pixels) {
  const std::size_t plane = g.planeSize();
  const std::size_t height = std::size_t(g.paddedRows());
  const std::size_t image = std::size_t(g.rows) * std::size_t(g.cols);
  const double shift = levelShift(g.bitDepth);
  std::vector<double> planes(plane * std::size_t(g.channels));
  for (std::size_t c = 0; c < std::size_t(g.cols); ++c) {
    for (std::size_t r = 0; r < std::size_t(g.rows); ++r) {
      const std::size_t from = c * std::size_t(g.rows) + r;
      const std::size_t to = c * height + r;
      if (g.channels == 1) {
        planes[to] = pixels[from] - shift;
        continue;
      }
      const double red = pixels[from] - shift;
      const double green = pixels[from + image] - shift;
      const double blue = pixels[from + 2 * image] - shift;
      planes[to] = (red + green + blue) * kThird;
      planes[to + plane] = (red - blue) * kHalf;
      planes[to + 2 * plane] = (red - 2.0 * green + blue) * kSixth;
    }
  }
  for (std::int32_t ch = 0; ch < g.channels; ++ch) padPlane(g, planes.data() + plane * std::size_t(ch));
  return planes;
}

std::size_t blockOrigin(const PlaneGeometry& g, std::int64_t q) {
  const std::int64_t perPlane = std::int64_t(g.gridRows) * g.gridCols;
  const std::int64_t inPlane = q % perPlane;
  const std::int64_t br = inPlane % g.gridRows;
  const std::int64_t bc = inPlane / g.gridRows;
  return std::size_t(q / perPlane) * g.planeSize() +
         std::size_t(bc * g.blockCols) * std::size_t(g.paddedRows()) +
         std::size_t(br * g.blockRows);
}

void readBlock(const PlaneGeometry& g, const std::vector<double>& planes, std::int64_t q,
               double* block) {
  const double* from = planes.data() + blockOrigin(g, q);
  const std::size_t height = std::size_t(g.paddedRows());
  for (std::int32_t c = 0; c < g.blockCols; ++c) {
    std::copy(from + std::size_t(c) * height, from + std::size_t(c) * height + std::size_t(g.blockRows),
              block + std::size_t(c) * std::size_t(g.blockRows));
  }
}

void writeBlock(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q,
                const double* block) {
  double* to = planes.data() + blockOrigin(g, q);
  const std::size_t height = std::size_t(g.paddedRows());
  for (std::int32_t c = 0; c < g.blockCols; ++c) {
    const double* column = block + std::size_t(c) * std::size_t(g.blockRows);
    std::copy(column, column + g.blockRows, to + std::size_t(c) * height);
  }
}

double neighbourMean(const PlaneGeometry& g, const std::vector<double>& planes, std::int64_t q) {
  const std::int64_t perPlane = std::int64_t(g.gridRows) * g.gridCols;
  const std::int64_t inPlane = q % perPlane;
  const bool up = inPlane % g.gridRows != 0;
  const bool left = inPlane >= g.gridRows;
  const std::size_t origin = blockOrigin(g, q);
  const std::size_t height = std::size_t(g.paddedRows());
  double sum = 0.0;
  std::int32_t count = 0;
  if (left) {
    const double* column = planes.data() + origin - height;
    for (std::int32_t r = 0; r < g.blockRows; ++r) sum += column[r];
    count += g.blockRows;
  }
  if (up) {
    const double* row = planes.data() + origin - 1;
    for (std::int32_t c = 0; c < g.blockCols; ++c) sum += row[std::size_t(c) * height];
    count += g.blockCols;
  }
  if (count == 0) return 0.0;
  // Luma reaches sqrt 3 times a sample's range; no plane goes further.
  const double bound = 2.0 * levelShift(g.bitDepth);
  return std::clamp(sum / double(count), -bound, bound);
}

namespace {

// A decoded sample: rounded half up and clipped to 0..peak (NaN cannot
// arise, but would give 0).
inline double decodedSample(double v, double shift, double peak) {
  const double x = v + shift;
  if (!(x > 0.0)) return 0.0;
  if (x >= peak) return peak;
  return double(std::int64_t(x + 0.5));
}

}  // namespace

namespace {

// Channel `channel` of a decoded image's sample from the planes' samples at
// `from` (one plane every `plane` values), before it is shifted back, rounded
// and clipped: the inverse transform for three channels.
inline double channelValue(const double* from, std::size_t plane, std::int32_t channels,
                           std::int32_t channel) {
  if (channels == 1) return from[0];
  const double luma = from[0] * kThird;
  const double c1 = from[plane] * kHalf;
  const double c2 = from[2 * plane] * kSixth;
  if (channel == 0) return luma + c1 + c2;
  if (channel == 1) return luma - 2.0 * c2;
  return luma - c1 + c2;
}

}  // namespace

std::vector<double> imageOfPlanes(const PlaneGeometry& g, const std::vector<double>& planes) {
  const std::size_t plane = g.planeSize();
  const std::size_t height = std::size_t(g.paddedRows());
  const std::size_t rows = std::size_t(g.rows), cols = std::size_t(g.cols);
  const std::size_t image = rows * cols;
  const double shift = levelShift(g.bitDepth);
  const double peak = double((std::int64_t(1) << g.bitDepth) - 1);
  std::vector<double> pixels(image * std::size_t(g.channels));
  for (std::int32_t ch = 0; ch < g.channels; ++ch) {
    for (std::size_t c = 0; c < cols; ++c) {
      const double* from = planes.data() + c * height;
      double* to = pixels.data() + std::size_t(ch) * image + c * rows;
      for (std::size_t r = 0; r < rows; ++r) {
        to[r] = decodedSample(channelValue(from + r, plane, g.channels, ch), shift, peak);
      }
    }
  }
  return pixels;
}

double decodedError(const PlaneGeometry& g, const std::vector<double>& planes, const double* image,
                    bool anyOrder) {
  const std::size_t plane = g.planeSize();
  const std::size_t height = std::size_t(g.paddedRows());
  const std::size_t rows = std::size_t(g.rows), cols = std::size_t(g.cols);
  const double shift = levelShift(g.bitDepth);
  const double peak = double((std::int64_t(1) << g.bitDepth) - 1);
  const auto term = [&](const double* from, std::int32_t ch, double sample) {
    const double d = decodedSample(channelValue(from, plane, g.channels, ch), shift, peak) - sample;
    return d * d;
  };
  double sum = 0.0;
  if (anyOrder && g.channels == 1) {
    // decodedSample without branches, in lanes the compiler can vectorise:
    // NaN and values <= 0 go to 0, values >= peak to peak, and peak < 2^31.
    constexpr std::size_t kLanes = 8;
    double lanes[kLanes] = {};
    for (std::size_t c = 0; c < cols; ++c, image += rows) {
      const double* from = planes.data() + c * height;
      std::size_t r = 0;
      for (; r + kLanes <= rows; r += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
          double x = from[r + l] + shift;
          x = x > 0.0 ? x : 0.0;
          x = x < peak ? x : peak;
          const double d = double(std::int32_t(x + 0.5)) - image[r + l];
          lanes[l] += d * d;
        }
      }
      for (; r < rows; ++r) sum += term(from + r, 0, image[r]);
    }
    for (double lane : lanes) sum += lane;
    return sum;
  }
  for (std::int32_t ch = 0; ch < g.channels; ++ch) {
    for (std::size_t c = 0; c < cols; ++c, image += rows) {
      const double* from = planes.data() + c * height;
      for (std::size_t r = 0; r < rows; ++r) sum += term(from + r, ch, image[r]);
    }
  }
  return sum;
}

bool errorsSumInAnyOrder(const double* image, std::size_t count, double peak) {
  if (!(double(count) * peak * peak < 9007199254740992.0)) return false;  // 2^53
  bool fractional = false;  // no early exit: the loop vectorises
  for (std::size_t i = 0; i < count; ++i) {
    fractional |= image[i] != double(std::int32_t(image[i]));  // image[i] in 0 .. peak < 2^31
  }
  return !fractional;
}

double squaredError(const double* a, const double* b, std::size_t count) {
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

}  // namespace tilevista
