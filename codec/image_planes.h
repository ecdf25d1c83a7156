// The image as the codec codes it, and back. Samples are shifted by half
// their range (so that a flat mid-grey block needs no atom); three channels go
// through an orthonormal luma/chroma transform, so that a squared error in the
// coded planes is the same squared error in red, green and blue; every plane
// is padded to whole blocks by repeating its last row and column. Decoded
// planes are transformed back, cropped to the image, rounded to integers and
// clipped to the samples' range.
#ifndef TILEVISTA_CODEC_IMAGE_PLANES_H
#define TILEVISTA_CODEC_IMAGE_PLANES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tilevista {

/// Sizes of an image, its blocks and its padded planes.
struct PlaneGeometry {
  std::int32_t rows = 0, cols = 0, channels = 1;  ///< the image's own
  std::int32_t blockRows = 0, blockCols = 0;
  std::int32_t gridRows = 0, gridCols = 0;        ///< blocks down and across
  std::int32_t bitDepth = 8;

  /// Rows and columns of a padded plane: whole blocks.
  std::int64_t paddedRows() const { return std::int64_t(gridRows) * blockRows; }
  std::int64_t paddedCols() const { return std::int64_t(gridCols) * blockCols; }
  std::size_t planeSize() const { return std::size_t(paddedRows() * paddedCols()); }
  std::int32_t blockPixels() const { return blockRows * blockCols; }
  /// Blocks in all channels.
  std::int64_t blocks() const { return std::int64_t(gridRows) * gridCols * channels; }
};

/// The geometry of an image cut into blocks (the grid covers it, padded).
PlaneGeometry planeGeometry(std::int32_t rows, std::int32_t cols, std::int32_t channels,
                            std::int32_t blockRows, std::int32_t blockCols, std::int32_t bitDepth);

/// The coded planes of an image: shifted, transformed (three channels) and
/// padded.
/// @param pixels  in, rows x cols x channels, column-major, within the range
/// @return channels planes of paddedRows x paddedCols, column-major, one after
///         another
std::vector<double> codedPlanes(const PlaneGeometry& g, const double* pixels);

/// Where block q's first sample (its top left) lies in the planes. Block q is
/// block (q mod gridRows, (q / gridRows) mod gridCols) of plane
/// q / (gridRows x gridCols).
std::size_t blockOrigin(const PlaneGeometry& g, std::int64_t q);

/// Copies block q of the planes into `block` (blockRows x blockCols,
/// column-major).
void readBlock(const PlaneGeometry& g, const std::vector<double>& planes, std::int64_t q,
               double* block);

/// Writes block q into the planes (the inverse of readBlock).
void writeBlock(const PlaneGeometry& g, std::vector<double>& planes, std::int64_t q,
                const double* block);

/// The mean of the decoded samples next to block q: the last column of its
/// left neighbour and the last row of its upper one, those that exist in its
/// plane; 0 (mid-grey) when neither does. Clamped to the plane's range of
/// values, so that no payload can make it grow without bound.
double neighbourMean(const PlaneGeometry& g, const std::vector<double>& planes, std::int64_t q);

/// The image of decoded planes: transformed back, shifted back, cropped,
/// rounded to integers and clipped to 0 .. 2^bitDepth - 1.
/// @return rows x cols x channels, column-major
std::vector<double> imageOfPlanes(const PlaneGeometry& g, const std::vector<double>& planes);

/// The squared error of the image of decoded planes against an image: the
/// same sum, in the same order, as squaredError(imageOfPlanes(g, planes),
/// image), without making the decoded image.
/// With `anyOrder` the caller vouches that the image's samples are integers
/// and that samples x peak^2 < 2^53: every term and partial sum is then an
/// integer held exactly, so the sum is the same in any order, and a grey
/// image's is taken in lanes (one chain of additions bounds the time
/// otherwise).
/// @param image  in, rows x cols x channels, column-major
double decodedError(const PlaneGeometry& g, const std::vector<double>& planes, const double* image,
                    bool anyOrder = false);

/// Whether decodedError may sum an image's errors in any order: its samples
/// (each in 0 .. peak) are integers and count x peak^2 < 2^53.
bool errorsSumInAnyOrder(const double* image, std::size_t count, double peak);

/// Sum of squared differences of two images' samples (count each).
double squaredError(const double* a, const double* b, std::size_t count);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_IMAGE_PLANES_H
