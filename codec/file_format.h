// The codec's file: a fixed-order header, the range-coded payload and a
// CRC-32 over everything before it (the layout, field by field, is in
// docs/codec.md). Writing and parsing live here together so that the two
// cannot drift apart; the payload is opaque at this level.
#ifndef TILEVISTA_CODEC_FILE_FORMAT_H
#define TILEVISTA_CODEC_FILE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tilevista {

/// The format version this code writes; it reads it and every one before.
constexpr std::int32_t kFormatVersion = 2;
/// The oldest format version this code reads (version 1 has no vectors
/// byte: its blocks' vectors are Gram-Schmidt's).
constexpr std::int32_t kOldestFormatVersion = 1;

/// How a file holds its dictionaries.
enum class DictionaryStorage : std::uint8_t {
  kDescription = 0,  ///< two description strings, for the rows' (Y) and the columns' (X)
  kMatrices = 1,     ///< Dy then Dx, as doubles
  kOneMatrix = 2,    ///< one square-block matrix used for rows and columns
};

/// How a file's blocks get their orthonormal vectors from their atoms.
enum class BlockVectors : std::uint8_t {
  kGramSchmidt = 0,  ///< rebuilt by Gram-Schmidt in scan order (BlockBasis)
  kAtoms = 1,        ///< the atoms themselves: both dictionaries are orthonormal bases
};

/// How a file's channels relate to the image's.
enum class ColourTransform : std::uint8_t {
  kNone = 0,         ///< one grey channel
  kOrthonormal = 1,  ///< three channels: the orthonormal luma/chroma transform of red, green, blue
};

/// The unit of the reconstruction offsets: 1/65536 of the step.
constexpr std::uint32_t kOffsetUnit = 65536;

/// Everything a file says besides its payload.
struct FileHeader {
  std::int32_t version = kFormatVersion;
  std::int32_t rows = 0, cols = 0;  ///< the image's own size
  std::int32_t channels = 1;        ///< 1 or 3
  ColourTransform colour = ColourTransform::kNone;
  std::int32_t bitDepth = 8;        ///< samples are 0 .. 2^bitDepth - 1
  std::int32_t blockRows = 8, blockCols = 8;
  DictionaryStorage storage = DictionaryStorage::kDescription;
  std::string descriptionY, descriptionX;  ///< with kDescription
  std::int32_t Ky = 0, Kx = 0;      ///< with the matrices (the description's sizes are not stored)
  std::vector<double> Dy, Dx;       ///< column-major; with kOneMatrix Dx is empty
  BlockVectors vectors = BlockVectors::kGramSchmidt;  ///< always kGramSchmidt in version 1
  double step = 1.0;                ///< the quantizer's step
  /// How far below |level| x step a level's magnitude is reconstructed, in
  /// 1/65536 of the step: for |level| = 1 and for larger levels (0..32768).
  std::uint16_t offsetOne = 0, offsetMore = 0;
  /// Strength of the filter across blocks' edges, 0 (none) to 4 (edge_filter.h).
  std::int32_t edgeFilter = 0;
};

/// Bytes a file of the current version has besides its dictionary field and
/// its payload (a version 1 file one fewer: no vectors byte).
constexpr std::size_t kFixedFileBytes = 8 + 1 + 4 + 3 + 8 + 2 + 1 + 1 + 8 + 4 + 1 + 4;

/// The whole file for a header and a payload, in the current version's
/// layout (the version byte is header.version, so that a test can write
/// another; the codec writes kFormatVersion alone).
/// @param header   in, its fields as they are to be written (not checked)
/// @param payload  in, the coded bytes
/// @return the file
std::vector<std::uint8_t> writeFile(const FileHeader& header,
                                    const std::vector<std::uint8_t>& payload);

/// A parsed file: its header and where its payload lies in the caller's bytes.
struct ParsedFile {
  FileHeader header;
  const std::uint8_t* payload = nullptr;
  std::size_t payloadSize = 0;
};

/// Parses and checks a file: magic, version, length, CRC-32, then every field
/// against its range and the format's limits, in that order. The dictionary
/// description is checked only for its characters; what it names is the
/// dictionary layer's to judge.
/// @param data  in, the file's bytes (the payload is not copied)
/// @param size  their number
/// @throws CodecError (kMagic, kVersion, kTruncated, kLength, kChecksum,
///         kImageSize, kBlockSize, kDictionary: also a vectors byte other
///         than 0 or 1, kQuantizer: step, offsets or edge filter out of range)
ParsedFile parseFile(const std::uint8_t* data, std::size_t size);

/// Whether a block of rows x cols pixels is one the codec codes (each side
/// 1 to kMaxBlockSide, at most kMaxBlockPixels), the same rule for an
/// encoder's options and a file's header.
bool blockSizeFits(std::int32_t rows, std::int32_t cols);
/// The block size rule in words, for the messages that refuse one.
std::string blockSizeRule();

/// The largest sample value of a bit depth: 2^bitDepth - 1.
double samplePeak(std::int32_t bitDepth);

/// The range of quantizer steps a file may have for a bit depth, [least, most].
double leastStep(std::int32_t bitDepth);
double mostStep(std::int32_t bitDepth);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_FILE_FORMAT_H
