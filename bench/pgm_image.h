// Reading of 8-bit greyscale images in the binary PGM format (P5), the format
// the benchmarks keep their test images in, and reading and writing of 8-bit
// binary PGM and PPM (P6) images as the codec's tool takes them.
#ifndef TILEVISTA_BENCH_PGM_IMAGE_H
#define TILEVISTA_BENCH_PGM_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

/// An 8-bit greyscale image, pixels row by row from the top left.
struct GrayImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> pixels;  ///< height x width, row-major

  /// Pixel at row r, column c (0-based).
  std::uint8_t at(std::int32_t r, std::int32_t c) const {
    return pixels[std::size_t(r) * std::size_t(width) + std::size_t(c)];
  }
};

/// Reads a binary PGM file (magic "P5", maximum value at most 255; comments
/// in the header are skipped).
/// @param path  in, file name
/// @return the image; throws std::runtime_error naming the file and the fault
///         when it cannot be read or is not such a file
GrayImage readPgm(const std::string& path);

/// An 8-bit image of one (PGM) or three (PPM) channels, as doubles.
struct PnmImage {
  std::int32_t rows = 0, cols = 0, channels = 1;
  /// rows x cols x channels, column-major (a channel is one rows x cols plane)
  std::vector<double> samples;
};

/// Reads a binary PGM (P5) or PPM (P6) file with maximum value 255.
/// @throws std::runtime_error naming the file and the fault
PnmImage readPnm(const std::string& path);

/// Writes an image as binary PGM (1 channel) or PPM (3 channels); samples are
/// taken as they are (integers 0..255).
/// @throws std::runtime_error when the file cannot be written
void writePnm(const std::string& path, const PnmImage& image);

#endif  // TILEVISTA_BENCH_PGM_IMAGE_H
