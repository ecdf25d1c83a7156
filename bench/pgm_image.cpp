// Binary PGM and PPM reader and writer: a short text header (magic, width,
// height, maximum value, separated by white space, '#' comments to the end of
// the line), one white space character, then width x height bytes (PGM) or
// width x height red, green, blue triples (PPM), row by row.
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

PnmImage readPnm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot open");
  char magic[2] = {0, 0};
  in.read(magic, 2);
  if (!in || magic[0] != 'P' || (magic[1] != '5' && magic[1] != '6')) {
    throw std::runtime_error(path + ": not a binary PGM (P5) or PPM (P6) file");
  }
  const long width = headerNumber(in, path);
  const long height = headerNumber(in, path);
  const long maxValue = headerNumber(in, path);
  if (width < 1 || height < 1) throw std::runtime_error(path + ": empty image");
  if (maxValue != 255) throw std::runtime_error(path + ": only maximum value 255 is read");
  PnmImage image;
  image.rows = std::int32_t(height);
  image.cols = std::int32_t(width);
  image.channels = magic[1] == '6' ? 3 : 1;
  const std::size_t plane = std::size_t(width) * std::size_t(height);
  std::vector<unsigned char> bytes(plane * std::size_t(image.channels));
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  if (in.gcount() != std::streamsize(bytes.size())) {
    throw std::runtime_error(path + ": truncated pixel data");
  }
  image.samples.resize(bytes.size());
  for (std::size_t r = 0; r < std::size_t(height); ++r) {
    for (std::size_t c = 0; c < std::size_t(width); ++c) {
      for (std::size_t ch = 0; ch < std::size_t(image.channels); ++ch) {
        const std::size_t from = (r * std::size_t(width) + c) * std::size_t(image.channels) + ch;
        image.samples[ch * plane + c * std::size_t(height) + r] = bytes[from];
      }
    }
  }
  return image;
}

void writePnm(const std::string& path, const PnmImage& image) {
  std::ofstream out(path, std::ios::binary);
  out << (image.channels == 3 ? "P6" : "P5") << '\n' << image.cols << ' ' << image.rows << "\n255\n";
  const std::size_t rows = std::size_t(image.rows), cols = std::size_t(image.cols);
  const std::size_t plane = rows * cols;
  std::vector<unsigned char> bytes(plane * std::size_t(image.channels));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      for (std::size_t ch = 0; ch < std::size_t(image.channels); ++ch) {
        bytes[(r * cols + c) * std::size_t(image.channels) + ch] =
            static_cast<unsigned char>(image.samples[ch * plane + c * rows + r]);
      }
    }
  }
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error(path + ": cannot write");
}
