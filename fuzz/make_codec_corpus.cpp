// Writes the seeds of the decoder's fuzzer (fuzz_decoder.cpp): files the
// encoder writes for small images at several settings (blocks whose vectors
// are Gram-Schmidt's and blocks whose vectors are the atoms), one of them
// rewritten into format version 1, and a few files made wrong on purpose.
// Each seed is the fuzz input (a mode byte, then the file), decoded once and
// listed with its outcome, so that a seed that no longer does what its name
// says is seen at once.
//
//   make_codec_corpus OUT_DIR     writes OUT_DIR/<name> for every seed
//   make_codec_corpus             only lists the seeds and their outcomes

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codec_version_one.h"
#include "file_format.h"
#include "tilevista/codec.h"

namespace {

using tilevista::EncodeOptions;

// rows x cols x channels samples of 0..peak: a gradient, a disc and noise.
std::vector<double> smallImage(int rows, int cols, int channels, double peak) {
  std::vector<double> image(std::size_t(rows) * std::size_t(cols) * std::size_t(channels));
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, 0.02);
  std::size_t i = 0;
  for (int ch = 0; ch < channels; ++ch) {
    for (int c = 0; c < cols; ++c) {
      for (int r = 0; r < rows; ++r) {
        const double dr = r - 0.5 * rows, dc = c - 0.4 * cols;
        double v = 0.2 + 0.5 * r / rows + 0.1 * ch + (dr * dr + dc * dc < 0.05 * rows * cols ? 0.3 : 0.0);
        v += noise(random);
        image[i++] = std::round(std::clamp(v, 0.0, 1.0) * peak);
      }
    }
  }
  return image;
}

struct Seed {
  std::string name;
  std::vector<std::uint8_t> input;  // the mode byte, then the file
};

std::vector<std::uint8_t> encoded(int rows, int cols, int channels, EncodeOptions o) {
  o.threads = 1;
  const std::vector<double> image = smallImage(rows, cols, channels, std::ldexp(1.0, o.bitDepth) - 1.0);
  return tilevista::encodeImage(image.data(), rows, cols, channels, o).bytes;
}

EncodeOptions target(double psnr, double bpp, const char* dictionary, int block) {
  EncodeOptions o;
  o.psnr = psnr;
  o.bpp = bpp;
  o.dictionary.description = dictionary;
  o.blockRows = o.blockCols = block;
  return o;
}

std::vector<Seed> seeds() {
  std::vector<Seed> all;
  const auto add = [&](const std::string& name, std::uint8_t mode, std::vector<std::uint8_t> file) {
    file.insert(file.begin(), mode);
    all.push_back({name, std::move(file)});
  };
  add("grey-16x16-30dB", 1, encoded(16, 16, 1, target(30, 0, "cosine:16+delta", 8)));
  add("grey-16x24-default", 1, encoded(16, 24, 1, target(36, 0, "", 8)));
  add("grey-16x16-45dB", 1, encoded(16, 16, 1, target(45, 0, "cosine:16+delta", 8)));
  add("grey-13x21-block4", 1, encoded(13, 21, 1, target(36, 0, "cosine:4+haar", 4)));
  add("colour-12x16-33dB", 1, encoded(12, 16, 3, target(33, 0, "cosine:8+delta", 8)));
  add("grey-16x16-4bpp", 1, encoded(16, 16, 1, target(0, 4.0, "legendre:8+delta", 8)));
  EncodeOptions deep = target(40, 0, "cosine:8", 8);
  deep.bitDepth = 12;
  add("grey-8x24-12bit", 1, encoded(8, 24, 1, deep));
  EncodeOptions matrices = target(34, 0, "", 4);
  matrices.dictionary.Ky = matrices.dictionary.Kx = 5;  // the constant, then single samples
  matrices.dictionary.Dy = {0.5, 0.5, 0.5, 0.5, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  matrices.dictionary.Dx = matrices.dictionary.Dy;
  add("grey-8x8-matrices", 1, encoded(8, 8, 1, matrices));
  EncodeOptions wide = target(36, 0, "", 8);  // cosine:8 and cosine:4: the atoms are the vectors
  wide.blockCols = 4;
  add("colour-16x12-atoms", 1, encoded(16, 12, 3, wide));
  add("grey-16x16-version1", 1, versionOneOf(encoded(16, 16, 1, target(33, 0, "cosine:8+delta", 8))));
  // Files as they are, so that the frame's checks see them: one intact, one
  // cut short, one with a byte changed.
  const std::vector<std::uint8_t> file = encoded(16, 16, 1, target(30, 0, "cosine:16+delta", 8));
  add("as-is-intact", 0, file);
  add("as-is-truncated", 0, std::vector<std::uint8_t>(file.begin(), file.end() - 7));
  std::vector<std::uint8_t> changed = file;
  changed[changed.size() / 2] ^= 0x10;
  add("as-is-changed", 0, changed);
  return all;
}

std::string outcome(const std::vector<std::uint8_t>& input) {
  // As fuzz_decoder sees it, except the length and CRC repair, which the
  // files written by the encoder do not need.
  try {
    const tilevista::DecodedImage image = tilevista::decodeImage(input.data() + 1, input.size() - 1);
    return "decodes: " + std::to_string(image.info.rows) + " x " + std::to_string(image.info.cols) +
           " x " + std::to_string(image.info.channels) + ", " + std::to_string(image.info.atoms) +
           " atoms, version " + std::to_string(image.info.version) + ", vectors " +
           std::to_string(image.info.vectors);
  } catch (const tilevista::CodecError& e) {
    return std::string("refused: ") + e.identifier();
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const Seed& seed : seeds()) {
    std::printf("%-22s %5zu bytes  %s\n", seed.name.c_str(), seed.input.size(), outcome(seed.input).c_str());
    if (argc > 1) {
      std::ofstream out(std::string(argv[1]) + "/codec-" + seed.name, std::ios::binary);
      out.write(reinterpret_cast<const char*>(seed.input.data()), std::streamsize(seed.input.size()));
      if (!out) {
        std::fprintf(stderr, "make_codec_corpus: cannot write into %s\n", argv[1]);
        return 1;
      }
    }
  }
  return 0;
}
