// Reading of 8-bit greyscale images in the binary PGM format (P5), the format
// the benchmarks keep their test images in.
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

#endif  // TILEVISTA_BENCH_PGM_IMAGE_H
