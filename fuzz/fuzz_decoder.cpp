// libFuzzer target: every input is a file for the codec's decoder, which must
// take any bytes from anywhere. Besides what the sanitizers catch, each
// decoding must keep the decoder's contract; any breach aborts, which
// libFuzzer reports as a crash.
//
// The input's first byte chooses how the rest is decoded: odd, its length
// field and CRC-32 are first made right, so that mutations get past the
// checksum to the header's fields, the dictionary and the payload; even, as
// it is, so that the frame's own checks are exercised too. The decoder runs
// under limits of 2^20 samples and 2^16 atoms, so that one input stays quick.
//
// Invariants checked:
//  - a failure is a CodecError whose identifier is one of the codec's
//    ("TILEVISTA:codec..."), never another exception;
//  - a success gives rows x cols x channels samples as the header says, every
//    one an integer within the bit depth's range, and the same image when
//    decoded again.
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "broken_invariant.h"
#include "tilevista/codec.h"

namespace {

// Byte 9 holds the file's length, little-endian; the last 4 bytes its CRC-32.
constexpr std::size_t kLengthOffset = 9;

void repairFrame(std::vector<std::uint8_t>& file) {
  if (file.size() < kLengthOffset + 4 + 4) return;
  const std::uint32_t length = static_cast<std::uint32_t>(file.size());
  for (int i = 0; i < 4; ++i) file[kLengthOffset + std::size_t(i)] = std::uint8_t(length >> (8 * i));
  const std::size_t covered = file.size() - 4;
  const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0L, file.data(), static_cast<uInt>(covered)));
  for (int i = 0; i < 4; ++i) file[covered + std::size_t(i)] = std::uint8_t(crc >> (8 * i));
}

void checkImage(const tilevista::DecodedImage& image) {
  const tilevista::DecodeInfo& info = image.info;
  const std::size_t samples = std::size_t(info.rows) * std::size_t(info.cols) * std::size_t(info.channels);
  if (info.rows < 1 || info.cols < 1 || (info.channels != 1 && info.channels != 3)) {
    broken("decoded an image of %d x %d x %d", info.rows, info.cols, info.channels);
  }
  if (image.pixels.size() != samples) {
    broken("%zu samples for an image of %zu", image.pixels.size(), samples);
  }
  const double peak = std::ldexp(1.0, info.bitDepth) - 1.0;
  for (std::size_t i = 0; i < samples; ++i) {
    const double v = image.pixels[i];
    if (!(v >= 0.0 && v <= peak) || v != std::floor(v)) broken("sample %zu is %.17g", i, v);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::vector<std::uint8_t> file(data + 1, data + size);
  if (data[0] & 1) repairFrame(file);
  tilevista::DecodeLimits limits;
  limits.maxSamples = std::uint64_t(1) << 20;
  limits.maxAtoms = std::uint64_t(1) << 16;
  try {
    const tilevista::DecodedImage image = tilevista::decodeImage(file.data(), file.size(), limits);
    checkImage(image);
    if (tilevista::decodeImage(file.data(), file.size(), limits).pixels != image.pixels) {
      broken("the same file decoded to two images");
    }
  } catch (const tilevista::CodecError& e) {
    if (std::strncmp(e.identifier(), "TILEVISTA:codec", 15) != 0) {
      broken("a failure with identifier %s: %s", e.identifier(), e.what());
    }
    if (std::strlen(e.what()) == 0) broken("a failure without a message (%s)", e.identifier());
  } catch (const std::exception& e) {
    broken("an exception that is not the codec's: %s", e.what());
  }
  return 0;
}
