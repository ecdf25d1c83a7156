// Binary PGM reader: a short text header (magic, width, height, maximum value,
// separated by white space, '#' comments to the end of the line), one white
// space character, then width x height bytes.
#include "pgm_image.h"

#include <cctype>
#include <fstream>
#include <stdexcept>

namespace {

// Reads the next header number, skipping white space and comments.
long headerNumber(std::istream& in, const std::string& path) {
  int ch = in.get();
  while (ch != EOF && (std::isspace(ch) || ch == '#')) {
    if (ch == '#') {
      while (ch != EOF && ch != '\n') ch = in.get();
    }
    ch = in.get();
  }
  long value = 0;
  int digits = 0;
  while (ch != EOF && std::isdigit(ch)) {
    if (value > 1000000) throw std::runtime_error(path + ": header number too large");
    value = value * 10 + (ch - '0');
    ++digits;
    ch = in.get();
  }
  // The character after the number is the single separator: consumed here, so
  // that after the maximum value the stream stands at the first pixel.
  if (digits == 0 || ch == EOF || !std::isspace(ch)) {
    throw std::runtime_error(path + ": malformed PGM header");
  }
  return value;
}

}  // namespace

GrayImage readPgm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot open");
  char magic[2] = {0, 0};
  in.read(magic, 2);
  if (!in || magic[0] != 'P' || magic[1] != '5') {
    throw std::runtime_error(path + ": not a binary PGM (P5) file");
  }
  const long width = headerNumber(in, path);
  const long height = headerNumber(in, path);
  const long maxValue = headerNumber(in, path);
  if (width < 1 || height < 1) throw std::runtime_error(path + ": empty image");
  if (maxValue < 1 || maxValue > 255) {
    throw std::runtime_error(path + ": only 8-bit PGM (maximum value 1..255) is read");
  }
  GrayImage image;
  image.width = std::int32_t(width);
  image.height = std::int32_t(height);
  image.pixels.resize(std::size_t(width) * std::size_t(height));
  in.read(reinterpret_cast<char*>(image.pixels.data()), std::streamsize(image.pixels.size()));
  if (in.gcount() != std::streamsize(image.pixels.size())) {
    throw std::runtime_error(path + ": truncated pixel data");
  }
  return image;
}
