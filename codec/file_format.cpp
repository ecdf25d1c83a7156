// Writing and parsing of the codec's file (docs/codec.md gives the layout).
// Numbers are little-endian; doubles are IEEE 754 binary64 bit patterns.
#include "file_format.h"

#include <zlib.h>

#include <cmath>
#include <cstring>
#include <string>

#include "edge_filter.h"
#include "tilevista/codec.h"

namespace tilevista {

namespace {

constexpr std::uint8_t kMagicBytes[8] = {0x89, 'T', 'V', 'C', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t kLengthOffset = 9;  // after the magic and the version
constexpr std::size_t kChecksumBytes = 4;

class ByteWriter {
 public:
  void bytes(const std::uint8_t* p, std::size_t n) { out.insert(out.end(), p, p + n); }
  void u8(std::uint32_t v) { out.push_back(static_cast<std::uint8_t>(v)); }
  void u16(std::uint32_t v) {
    for (int i = 0; i < 2; ++i) u8(v >> (8 * i));
  }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(v >> (8 * i));
  }
  void f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i) u8(static_cast<std::uint32_t>(bits >> (8 * i)));
  }
  std::vector<std::uint8_t> out;
};

// Reads fields in order from bytes whose length the file's length field has
// already been held to; running past them is a truncated field.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  const std::uint8_t* take(std::size_t n) {
    if (n > size_ - position_) {
      throw CodecError(codec_error::kTruncated,
                       "The file's header runs past the end the file's length field gives.");
    }
    const std::uint8_t* p = data_ + position_;
    position_ += n;
    return p;
  }
  std::uint32_t u8() { return *take(1); }
  std::uint32_t u16() { return little(take(2), 2); }
  std::uint32_t u32() { return little(take(4), 4); }
  double f64() {
    const std::uint8_t* p = take(8);
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | p[i];
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  std::size_t position() const { return position_; }

 private:
  static std::uint32_t little(const std::uint8_t* p, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (size > 0) {  // zlib takes 32-bit lengths
    const uInt part = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
    crc = crc32(crc, data, part);
    data += part;
    size -= part;
  }
  return static_cast<std::uint32_t>(crc);
}

void writeDictionary(ByteWriter& w, const FileHeader& h) {
  w.u8(static_cast<std::uint32_t>(h.storage));
  if (h.storage == DictionaryStorage::kDescription) {
    for (const std::string* d : {&h.descriptionY, &h.descriptionX}) {
      w.u8(static_cast<std::uint32_t>(d->size()));
      w.bytes(reinterpret_cast<const std::uint8_t*>(d->data()), d->size());
    }
    return;
  }
  w.u16(static_cast<std::uint32_t>(h.Ky));
  if (h.storage == DictionaryStorage::kMatrices) w.u16(static_cast<std::uint32_t>(h.Kx));
  for (double v : h.Dy) w.f64(v);
  for (double v : h.Dx) w.f64(v);
}

[[noreturn]] void fail(const char* id, const std::string& what) { throw CodecError(id, what); }

// The first bytes: a file of this codec, of this version, of the length its
// header says, unchanged since it was written.
void checkFrame(const std::uint8_t* data, std::size_t size) {
  const std::size_t magicBytes = sizeof kMagicBytes;
  if (size == 0) fail(codec_error::kTruncated, "The file is empty.");
  if (std::memcmp(data, kMagicBytes, size < magicBytes ? size : magicBytes) != 0) {
    fail(codec_error::kMagic, "Not a TILEVISTA codec file: its first bytes are not the codec's magic.");
  }
  if (size < kLengthOffset + 4) {
    fail(codec_error::kTruncated, "The file ends within its first " +
                                      std::to_string(kLengthOffset + 4) + " bytes.");
  }
  const std::int32_t version = data[magicBytes];
  if (version < kOldestFormatVersion || version > kFormatVersion) {
    fail(codec_error::kVersion, "The file is of format version " + std::to_string(version) +
                                    "; this decoder reads versions " +
                                    std::to_string(kOldestFormatVersion) + " to " +
                                    std::to_string(kFormatVersion) + ".");
  }
  std::uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = (length << 8) | data[kLengthOffset + i];
  const std::size_t fixedBytes = kFixedFileBytes - (version == 1 ? 1 : 0);
  if (size < length || length < fixedBytes) {
    fail(codec_error::kTruncated, "The file has " + std::to_string(size) +
                                      " bytes; its header says it has " + std::to_string(length) +
                                      ".");
  }
  if (size > length) {
    fail(codec_error::kLength, "The file has " + std::to_string(size - length) +
                                   " bytes after the end its header gives (" +
                                   std::to_string(length) + " bytes).");
  }
  const std::size_t covered = size - kChecksumBytes;
  std::uint32_t stored = 0;
  for (int i = 3; i >= 0; --i) stored = (stored << 8) | data[covered + std::size_t(i)];
  if (crc32Of(data, covered) != stored) {
    fail(codec_error::kChecksum,
         "The file's CRC-32 does not match its bytes: the file was changed or damaged.");
  }
}

}  // namespace

bool blockSizeFits(std::int32_t rows, std::int32_t cols) {
  return rows >= 1 && cols >= 1 && rows <= codec_limits::kMaxBlockSide &&
         cols <= codec_limits::kMaxBlockSide &&
         std::int64_t{rows} * cols <= codec_limits::kMaxBlockPixels;
}

std::string blockSizeRule() {
  return "each side must be 1 to " + std::to_string(codec_limits::kMaxBlockSide) +
         " and the block at most " + std::to_string(codec_limits::kMaxBlockPixels) + " pixels.";
}

double samplePeak(std::int32_t bitDepth) { return std::ldexp(1.0, bitDepth) - 1.0; }
double leastStep(std::int32_t bitDepth) { return std::ldexp(samplePeak(bitDepth), -14); }
double mostStep(std::int32_t bitDepth) { return std::ldexp(samplePeak(bitDepth), 8); }

std::vector<std::uint8_t> writeFile(const FileHeader& h, const std::vector<std::uint8_t>& payload) {
  ByteWriter w;
  w.bytes(kMagicBytes, sizeof kMagicBytes);
  w.u8(static_cast<std::uint32_t>(h.version));
  w.u32(0);  // the length, filled in below
  w.u8(static_cast<std::uint32_t>(h.channels));
  w.u8(static_cast<std::uint32_t>(h.colour));
  w.u8(static_cast<std::uint32_t>(h.bitDepth));
  w.u32(static_cast<std::uint32_t>(h.rows));
  w.u32(static_cast<std::uint32_t>(h.cols));
  w.u8(static_cast<std::uint32_t>(h.blockRows));
  w.u8(static_cast<std::uint32_t>(h.blockCols));
  writeDictionary(w, h);
  w.u8(static_cast<std::uint32_t>(h.vectors));
  w.f64(h.step);
  w.u16(h.offsetOne);
  w.u16(h.offsetMore);
  w.u8(static_cast<std::uint32_t>(h.edgeFilter));
  w.bytes(payload.data(), payload.size());
  const std::uint32_t length = static_cast<std::uint32_t>(w.out.size() + kChecksumBytes);
  for (int i = 0; i < 4; ++i) w.out[kLengthOffset + std::size_t(i)] = std::uint8_t(length >> (8 * i));
  w.u32(crc32Of(w.out.data(), w.out.size()));
  return std::move(w.out);
}

namespace {

void readImageFields(ByteReader& r, FileHeader& h) {
  h.channels = static_cast<std::int32_t>(r.u8());
  const std::uint32_t colour = r.u8();
  h.bitDepth = static_cast<std::int32_t>(r.u8());
  const std::uint32_t rows = r.u32();
  const std::uint32_t cols = r.u32();
  h.blockRows = static_cast<std::int32_t>(r.u8());
  h.blockCols = static_cast<std::int32_t>(r.u8());
  const bool grey = h.channels == 1 && colour == std::uint32_t(ColourTransform::kNone);
  const bool colourful =
      h.channels == 3 && colour == std::uint32_t(ColourTransform::kOrthonormal);
  if (!grey && !colourful) {
    fail(codec_error::kImageSize, "The file's channels (" + std::to_string(h.channels) +
                                      ") and colour transform (" + std::to_string(colour) +
                                      ") are not 1 and 0 (grey) or 3 and 1 (colour).");
  }
  h.colour = static_cast<ColourTransform>(colour);
  if (h.bitDepth < 1 || h.bitDepth > codec_limits::kMaxBitDepth) {
    fail(codec_error::kImageSize, "The file's bit depth is " + std::to_string(h.bitDepth) +
                                      "; it must be 1 to 16.");
  }
  if (rows < 1 || cols < 1 || rows > std::uint32_t(codec_limits::kMaxSide) ||
      cols > std::uint32_t(codec_limits::kMaxSide) ||
      std::uint64_t(rows) * cols * std::uint64_t(h.channels) > codec_limits::kMaxSamples) {
    fail(codec_error::kImageSize,
         "The file's image is " + std::to_string(rows) + " x " + std::to_string(cols) + " x " +
             std::to_string(h.channels) +
             "; each side must be 1 to 65535 and the samples at most 2^28.");
  }
  h.rows = static_cast<std::int32_t>(rows);
  h.cols = static_cast<std::int32_t>(cols);
  if (!blockSizeFits(h.blockRows, h.blockCols)) {
    fail(codec_error::kBlockSize, "The file's block is " + std::to_string(h.blockRows) + " x " +
                                      std::to_string(h.blockCols) + "; " + blockSizeRule());
  }
}

void readMatrix(ByteReader& r, std::int32_t length, std::int32_t atoms, std::vector<double>& D) {
  D.resize(std::size_t(length) * std::size_t(atoms));
  for (double& v : D) {
    v = r.f64();
    if (!std::isfinite(v)) {
      fail(codec_error::kDictionary, "The file's dictionary holds a value that is not finite.");
    }
  }
}

// A description: its length, then its bytes, printable ASCII without spaces.
std::string readDescription(ByteReader& r) {
  const std::size_t length = r.u8();
  const std::uint8_t* text = r.take(length);
  std::string description(reinterpret_cast<const char*>(text), length);
  for (unsigned char c : description) {
    if (c < 0x21 || c > 0x7E) {
      fail(codec_error::kDictionary,
           "The file's dictionary description holds a byte that is not printable ASCII.");
    }
  }
  if (length == 0) fail(codec_error::kDictionary, "The file's dictionary description is empty.");
  return description;
}

void readDictionary(ByteReader& r, FileHeader& h) {
  const std::uint32_t storage = r.u8();
  if (storage == std::uint32_t(DictionaryStorage::kDescription)) {
    h.storage = DictionaryStorage::kDescription;
    h.descriptionY = readDescription(r);
    h.descriptionX = readDescription(r);
    return;
  }
  const bool one = storage == std::uint32_t(DictionaryStorage::kOneMatrix);
  if (!one && storage != std::uint32_t(DictionaryStorage::kMatrices)) {
    fail(codec_error::kDictionary, "The file's dictionary storage is " + std::to_string(storage) +
                                       "; it must be 0 (description), 1 (matrices) or 2 (one "
                                       "matrix).");
  }
  h.storage = static_cast<DictionaryStorage>(storage);
  h.Ky = static_cast<std::int32_t>(r.u16());
  h.Kx = one ? h.Ky : static_cast<std::int32_t>(r.u16());
  if (one && h.blockRows != h.blockCols) {
    fail(codec_error::kDictionary, "The file has one dictionary matrix for a block that is not square.");
  }
  for (std::int32_t K : {h.Ky, h.Kx}) {
    if (K < 1 || K > codec_limits::kMaxAtomsPerDirection) {
      fail(codec_error::kDictionary, "The file's dictionary has " + std::to_string(K) +
                                         " atoms in a direction; it must have 1 to 4096.");
    }
  }
  if (std::int64_t(h.Ky) * h.Kx > codec_limits::kMaxAtomPairs) {
    fail(codec_error::kDictionary, "The file's dictionaries have more than 65536 atom pairs.");
  }
  readMatrix(r, h.blockRows, h.Ky, h.Dy);
  if (!one) readMatrix(r, h.blockCols, h.Kx, h.Dx);
}

// The vectors byte (after version 1): how the blocks' vectors are made.
void readVectors(ByteReader& r, FileHeader& h) {
  if (h.version == 1) {
    h.vectors = BlockVectors::kGramSchmidt;
    return;
  }
  const std::uint32_t vectors = r.u8();
  if (vectors != std::uint32_t(BlockVectors::kGramSchmidt) &&
      vectors != std::uint32_t(BlockVectors::kAtoms)) {
    fail(codec_error::kDictionary, "The file's vectors byte is " + std::to_string(vectors) +
                                       "; it must be 0 (Gram-Schmidt) or 1 (the atoms).");
  }
  h.vectors = static_cast<BlockVectors>(vectors);
}

void readQuantizer(ByteReader& r, FileHeader& h) {
  h.step = r.f64();
  h.offsetOne = static_cast<std::uint16_t>(r.u16());
  h.offsetMore = static_cast<std::uint16_t>(r.u16());
  h.edgeFilter = static_cast<std::int32_t>(r.u8());
  if (!(h.step >= leastStep(h.bitDepth) && h.step <= mostStep(h.bitDepth))) {
    fail(codec_error::kQuantizer, "The file's quantizer step is " + std::to_string(h.step) +
                                      "; for its bit depth it must be within " +
                                      std::to_string(leastStep(h.bitDepth)) + " and " +
                                      std::to_string(mostStep(h.bitDepth)) + ".");
  }
  if (h.offsetOne > kOffsetUnit / 2 || h.offsetMore > kOffsetUnit / 2) {
    fail(codec_error::kQuantizer,
         "The file's reconstruction offsets must be at most half the step (32768).");
  }
  if (h.edgeFilter > kMostEdgeFilter) {
    fail(codec_error::kQuantizer, "The file's edge filter strength is " +
                                      std::to_string(h.edgeFilter) + "; it must be 0 to 4.");
  }
}

}  // namespace

ParsedFile parseFile(const std::uint8_t* data, std::size_t size) {
  checkFrame(data, size);
  ParsedFile file;
  FileHeader& h = file.header;
  ByteReader r(data, size - kChecksumBytes);
  r.take(sizeof kMagicBytes);
  h.version = static_cast<std::int32_t>(r.u8());
  r.u32();  // the length, checked above
  readImageFields(r, h);
  readDictionary(r, h);
  readVectors(r, h);
  readQuantizer(r, h);
  file.payload = data + r.position();
  file.payloadSize = size - kChecksumBytes - r.position();
  return file;
}

}  // namespace tilevista
