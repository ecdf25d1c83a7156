// encodeImage: the caller's request checked, the image's planes, one pursuit
// call, the rate control, the file.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <string>

#include "block_code.h"
#include "codec_dictionary.h"
#include "file_format.h"
#include "image_planes.h"
#include "pursuit_atoms.h"
#include "rate_control.h"
#include "tilevista/codec.h"
#include "tilevista/threads.h"

namespace tilevista {

namespace {

// How much deeper than the target's error the pursuit goes, so that the
// atoms the rate control would keep are there: the quantization adds error
// of its own, and atoms are kept for their worth in bits, not in order.
constexpr double kDepthBelowTarget = 0.5;
// Below one unit of squared error a sample, an error's rounding is what is
// left: a sample off by just over half a unit rounds to a whole one, four
// times its square. There the pursuit goes to an eighth of the target's
// error, so that even so rounded, its residual keeps half the target's error
// for the quantization (at half, about 1 in 40,000 small images was refused
// a target its complete dictionary reaches).
constexpr double kDepthBelowTargetNearLossless = 0.125;
// For a target in bits per pixel b: the pursuit stops after
// kAtomsPerTargetBit / sqrt(b) atoms per bit of the target. On the sample
// images the atoms coded reach 0.29 (at 0.25 bpp) to 0.12 (at 2 bpp) pursuit
// atoms deep per bit: the cheaper the atoms, the lower the rate.
constexpr double kAtomsPerTargetBit = 0.2;

[[noreturn]] void refuse(const char* id, const std::string& what) { throw CodecError(id, what); }

void checkRequest(const double* pixels, std::int32_t rows, std::int32_t cols,
                  std::int32_t channels, const EncodeOptions& o) {
  const bool psnr = o.psnr > 0.0, bpp = o.bpp > 0.0;
  if (psnr == bpp || !(std::isfinite(o.psnr) && std::isfinite(o.bpp)) || o.psnr < 0.0 ||
      o.bpp < 0.0) {
    refuse(codec_error::kOptions, "Give exactly one target: a PSNR in dB or bits per pixel, "
                                  "finite and above 0.");
  }
  if (o.bitDepth < 1 || o.bitDepth > codec_limits::kMaxBitDepth) {
    refuse(codec_error::kOptions, "The bit depth is " + std::to_string(o.bitDepth) +
                                      "; it must be 1 to 16.");
  }
  if (o.threads < 0 || o.threads > kMaxThreads) {
    refuse(codec_error::kThreads, "The threads are " + std::to_string(o.threads) +
                                      "; give 0 (every processor) to 1024.");
  }
  if (!blockSizeFits(o.blockRows, o.blockCols)) {
    refuse(codec_error::kBlockSize, "The block is " + std::to_string(o.blockRows) + " x " +
                                        std::to_string(o.blockCols) + "; " + blockSizeRule());
  }
  if (pixels == nullptr || rows < 1 || cols < 1 || rows > codec_limits::kMaxSide ||
      cols > codec_limits::kMaxSide || (channels != 1 && channels != 3) ||
      std::uint64_t(rows) * std::uint64_t(cols) * std::uint64_t(channels) >
          codec_limits::kMaxSamples) {
    refuse(codec_error::kImage, "The image is " + std::to_string(rows) + " x " +
                                    std::to_string(cols) + " x " + std::to_string(channels) +
                                    "; it must have 1 or 3 channels, sides of 1 to 65535 and at "
                                    "most 2^28 samples.");
  }
  const double peak = samplePeak(o.bitDepth);
  const std::size_t samples = std::size_t(rows) * std::size_t(cols) * std::size_t(channels);
  for (std::size_t i = 0; i < samples; ++i) {
    if (!(pixels[i] >= 0.0 && pixels[i] <= peak)) {
      refuse(codec_error::kImage, "Sample " + std::to_string(i + 1) + " of the image is " +
                                      std::to_string(pixels[i]) + "; samples of " +
                                      std::to_string(o.bitDepth) + " bits are 0 to " +
                                      std::to_string(std::int64_t(peak)) + ".");
    }
  }
}

// How far the pursuit goes for the target, on how many threads.
PursuitDepth depthFor(const PlaneGeometry& g, const DictionaryPair& d, const EncodeOptions& o) {
  PursuitSizes sizes;
  sizes.blockCount = static_cast<std::int32_t>(g.blocks());
  sizes.rows = g.blockRows;
  sizes.cols = g.blockCols;
  sizes.Ky = d.Ky;
  sizes.Kx = d.Kx;
  PursuitDepth depth;
  depth.threads = pursuitThreads(sizes, o.threads);
  if (depth.threads < 1) {
    refuse(codec_error::kOutOfMemory, "Not enough memory for the pursuit of this image.");
  }
  const std::int64_t capacity = std::min<std::int64_t>(std::int64_t(d.Ky) * d.Kx, g.blockPixels());
  const double most = double(capacity) * double(g.blocks());
  const double samples = double(g.rows) * g.cols * g.channels;
  if (o.psnr > 0.0) {
    // The residual the pursuit stops at holds the padding's error too, so it
    // is measured against the image's own samples' allowance: the image's
    // error is then within it, however much of the planes the padding is
    // (an allowance of the padded samples left a 29 x 2 image, padded to
    // 32 x 8, short of its target with every atom coded).
    const double allowed = squaredErrorFor(o.psnr, samplePeak(g.bitDepth), std::size_t(samples));
    depth.tol = (allowed < samples ? kDepthBelowTargetNearLossless : kDepthBelowTarget) * allowed;
    depth.atomLimit = static_cast<std::uint32_t>(most);
  } else {
    const double bits = o.bpp * samples / g.channels;
    const double atoms = std::ceil(kAtomsPerTargetBit / std::sqrt(o.bpp) * bits);
    depth.atomLimit = static_cast<std::uint32_t>(std::clamp(atoms, 1.0, most));
  }
  return depth;
}

// The shortest prefix of the pursuit's order that holds every coded atom: a
// block takes its atoms in the pursuit's order, so its prefix's last is its
// deepest.
std::uint64_t codedPrefix(const PursuitAtoms& atoms, const std::vector<std::int32_t>& prefixes) {
  std::uint64_t prefix = 0;
  for (std::size_t q = 0; q < prefixes.size(); ++q) {
    const std::int32_t m = prefixes[q];
    if (m > 0) prefix = std::max(prefix, atoms.order[std::size_t(atoms.first[q]) + std::size_t(m) - 1] + 1);
  }
  return prefix;
}

EncodedImage encodeChecked(const double* pixels, std::int32_t rows, std::int32_t cols,
                           std::int32_t channels, const EncodeOptions& o) {
  const auto start = std::chrono::steady_clock::now();
  const PlaneGeometry g = planeGeometry(rows, cols, channels, o.blockRows, o.blockCols, o.bitDepth);
  const DictionaryPair dictionary = encoderDictionary(o.dictionary, o.blockRows, o.blockCols);
  const std::vector<double> planes = codedPlanes(g, pixels);
  const PursuitDepth depth = depthFor(g, dictionary, o);
  const PursuitAtoms atoms = pursueBlocks(g, planes, dictionary, depth);

  FileHeader header;
  header.rows = rows;
  header.cols = cols;
  header.channels = channels;
  header.colour = channels == 3 ? ColourTransform::kOrthonormal : ColourTransform::kNone;
  header.bitDepth = o.bitDepth;
  header.blockRows = o.blockRows;
  header.blockCols = o.blockCols;
  storeDictionary(dictionary, header);
  const CodeShape shape = codeShapeFor(g.gridRows, g.gridCols, channels, dictionary.Ky,
                                       dictionary.Kx, g.blockPixels());
  const std::size_t samples = std::size_t(rows) * std::size_t(cols) * std::size_t(channels);
  const double peak = samplePeak(o.bitDepth);
  const QuantizerInput in{&g, &shape, &dictionary, &atoms, pixels, writeFile(header, {}).size(),
                          depth.threads, errorsSumInAnyOrder(pixels, samples, peak)};
  RateTarget target;
  target.psnr = o.psnr;
  target.bits = o.bpp * double(rows) * double(cols);
  const RateChoice choice = controlRate(in, target);
  header.step = choice.chosen.step;
  header.offsetOne = choice.chosen.offsetOne;
  header.offsetMore = choice.chosen.offsetMore;
  header.edgeFilter = choice.chosen.edgeFilter;

  EncodedImage encoded;
  encoded.bytes = writeFile(header, choice.payload);
  EncodeReport& r = encoded.report;
  r.psnr = choice.chosen.squaredError > 0.0
               ? 10.0 * std::log10(double(samples) * peak * peak / choice.chosen.squaredError)
               : HUGE_VAL;
  r.bytes = encoded.bytes.size();
  r.bpp = 8.0 * double(r.bytes) / (double(rows) * double(cols));
  r.atoms = choice.chosen.atoms;
  r.step = choice.chosen.step;
  r.prefix = codedPrefix(atoms, choice.chosen.prefixes);
  r.pursuitAtoms = atoms.result.atoms;
  r.pursuitSeconds = atoms.seconds;
  r.codingSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() - atoms.seconds;
  return encoded;
}

}  // namespace

EncodedImage encodeImage(const double* pixels, std::int32_t rows, std::int32_t cols,
                         std::int32_t channels, const EncodeOptions& options) {
  checkRequest(pixels, rows, cols, channels, options);
  try {
    return encodeChecked(pixels, rows, cols, channels, options);
  } catch (const std::bad_alloc&) {
    refuse(codec_error::kOutOfMemory, "Not enough memory to encode this image.");
  }
}

double imagePsnr(const double* a, const double* b, std::size_t count, double peak) {
  const double error = squaredError(a, b, count);
  return error > 0.0 ? 10.0 * std::log10(double(count) * peak * peak / error) : HUGE_VAL;
}

}  // namespace tilevista
