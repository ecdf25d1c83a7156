// The image codec over the block-wise pursuit: an image becomes a file of
// bytes and a file becomes an image again. One pursuit call gives every
// block's atoms; the encoder codes each block's atoms as a set and their
// coefficients in the block's orthonormal basis, quantized with one step, with
// an adaptive range coder. The decoder rebuilds every block's orthonormal
// vectors from the indices with the pursuit's own basis steps (or takes the
// atoms themselves when the dictionaries are orthonormal bases), so no basis
// is stored. The file format, the rate control rule and the measured rates are
// in docs/codec.md.
//
// A host (Octave, Python) is a thin adapter: it hands over an image as
// doubles and the options, and gets bytes and a report back; or it hands over
// bytes and gets an image. Failures are CodecError exceptions carrying one of
// the identifiers below, which a host raises as its own errors.
#ifndef TILEVISTA_CODEC_H
#define TILEVISTA_CODEC_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tilevista {

/// Identifiers of the codec's failures ("TILEVISTA:codec<What>").
namespace codec_error {
// The caller's request (encoding).
/// No target, both, or one not finite and above 0; a bit depth outside 1..16.
constexpr const char* kOptions = "TILEVISTA:codecOptions";
/// An image empty, too large, of other than 1 or 3 channels, or with a sample
/// not finite or outside its bit depth's range.
constexpr const char* kImage = "TILEVISTA:codecImage";
/// A block side outside 1..64, or a block above 4096 pixels (also a file's).
constexpr const char* kBlockSize = "TILEVISTA:codecBlockSize";
/// Dictionaries missing, empty, too large (4096 atoms a direction, 65536
/// pairs), not finite or badly described (also a file's).
constexpr const char* kDictionary = "TILEVISTA:codecDictionary";
/// A thread count outside 0..1024.
constexpr const char* kThreads = "TILEVISTA:codecThreads";
/// No step reaches the target PSNR, or no file is as small as the target bits.
constexpr const char* kTarget = "TILEVISTA:codecTarget";
/// The work's storage could not be had (also a decoder's).
constexpr const char* kOutOfMemory = "TILEVISTA:codecOutOfMemory";
// What a file may hold that a decoder must refuse (decoding).
/// Not a file of this codec.
constexpr const char* kMagic = "TILEVISTA:codecMagic";
/// A format version this decoder does not read.
constexpr const char* kVersion = "TILEVISTA:codecVersion";
/// The file ends before its header or its length field says, or the payload
/// before its last block.
constexpr const char* kTruncated = "TILEVISTA:codecTruncated";
/// Bytes after the end the header gives.
constexpr const char* kLength = "TILEVISTA:codecLength";
/// A CRC-32 mismatch: the bytes were changed.
constexpr const char* kChecksum = "TILEVISTA:codecChecksum";
/// Rows, columns, channels, colour transform or bit depth out of range.
constexpr const char* kImageSize = "TILEVISTA:codecImageSize";
/// The step, the reconstruction offsets or the edge filter out of range.
constexpr const char* kQuantizer = "TILEVISTA:codecQuantizer";
/// A coded symbol out of its range (a count past a block's capacity, an atom
/// past the dictionary pairs, a level past its bound), or bytes left over.
constexpr const char* kPayload = "TILEVISTA:codecPayload";
/// A block's atoms leave one with no direction of its own (dependent columns
/// of the dictionaries).
constexpr const char* kBasis = "TILEVISTA:codecBasis";
/// The file needs more than the caller's DecodeLimits allow.
constexpr const char* kLimits = "TILEVISTA:codecLimits";
}  // namespace codec_error

/// A failure of the codec: what() is the explanation, identifier() one of
/// codec_error's.
class CodecError : public std::runtime_error {
 public:
  CodecError(const char* identifier, const std::string& message)
      : std::runtime_error(message), identifier_(identifier) {}
  /// "TILEVISTA:codec<What>".
  const char* identifier() const noexcept { return identifier_; }

 private:
  const char* identifier_;
};

/// Sizes any file and any call may have.
namespace codec_limits {
constexpr std::int32_t kMaxSide = 65535;               ///< rows and columns of an image
constexpr std::uint64_t kMaxSamples = 1ull << 28;      ///< rows x cols x channels
constexpr std::int32_t kMaxBlockSide = 64;             ///< block rows and columns
constexpr std::int32_t kMaxBlockPixels = 4096;         ///< block rows x cols
constexpr std::int32_t kMaxAtomsPerDirection = 4096;   ///< columns of each dictionary
constexpr std::int64_t kMaxAtomPairs = 65536;          ///< Ky x Kx: the separable atoms
constexpr std::size_t kMaxDescription = 255;           ///< bytes of a dictionary description
constexpr std::int32_t kMaxBitDepth = 16;              ///< bits per sample
}  // namespace codec_limits

/// A dictionary pair: descriptions the dictionary layer builds, or the two
/// matrices themselves. Left empty, the codec's default: the orthonormal
/// cosine basis of each block side ("cosine:<blockRows>" for Y,
/// "cosine:<blockCols>" for X), the best of the dictionaries measured
/// (docs/codec.md).
struct CodecDictionary {
  /// A description string naming built-in families ("cosine:16+delta"), for
  /// rows and columns alike unless descriptionX is given.
  std::string description;
  /// When not empty, the description of dictionary X (description is then
  /// Y's alone).
  std::string descriptionX;
  std::vector<double> Dy;  ///< blockRows x Ky, column-major (when no description)
  std::vector<double> Dx;  ///< blockCols x Kx, column-major (when no description)
  std::int32_t Ky = 0;     ///< columns of Dy
  std::int32_t Kx = 0;     ///< columns of Dx
};

/// What to encode for. Exactly one of psnr and bpp is set (> 0).
struct EncodeOptions {
  /// The smallest PSNR the decoded image must have, in dB against the
  /// largest sample value (255 for 8-bit images); 0: not set.
  double psnr = 0.0;
  /// The largest file size, in bits per pixel (rows x cols) over the whole
  /// file, header included; 0: not set.
  double bpp = 0.0;
  std::int32_t blockRows = 8;  ///< block size: 1..64 each, at most 4096 pixels
  std::int32_t blockCols = 8;
  /// The dictionaries; left empty, the codec's default.
  CodecDictionary dictionary;
  /// Bits per sample of the image, 1..16: samples are 0 .. 2^bitDepth - 1.
  std::int32_t bitDepth = 8;
  /// Threads of the pursuit and the codec's block work, the calling one
  /// included; 0: every processor. The bytes do not depend on it.
  std::int32_t threads = 0;
};

/// What the encoder made, measured on the decoded image.
struct EncodeReport {
  double psnr = 0.0;            ///< PSNR of the decoded image against the input, dB (Inf when equal)
  double bpp = 0.0;             ///< 8 x bytes / (rows x cols)
  std::uint64_t bytes = 0;      ///< size of the file
  std::uint64_t atoms = 0;      ///< atoms coded, over all blocks and channels
  double step = 0.0;            ///< the quantizer's step
  std::uint64_t prefix = 0;     ///< atoms of the pursuit's order the coded atoms come from
  std::uint64_t pursuitAtoms = 0;  ///< atoms the pursuit call took
  double pursuitSeconds = 0.0;  ///< time of the pursuit call
  double codingSeconds = 0.0;   ///< time of everything else (bases, rate control, coding)
};

/// An encoded image.
struct EncodedImage {
  std::vector<std::uint8_t> bytes;  ///< the file
  EncodeReport report;
};

/// Encodes an image.
/// @param pixels    in, rows x cols x channels doubles, column-major (a
///                  channel is one rows x cols column-major plane); every
///                  value finite and within 0 .. 2^bitDepth - 1 (not
///                  necessarily integers)
/// @param rows      image rows, 1..65535
/// @param cols      image columns, 1..65535
/// @param channels  1 (grey) or 3 (red, green, blue)
/// @param options   in, the target, block size, dictionaries, threads
/// @return the file and the report
/// @throws CodecError with kOptions, kImage, kBlockSize, kDictionary, kThreads,
///         kOutOfMemory
EncodedImage encodeImage(const double* pixels, std::int32_t rows, std::int32_t cols,
                         std::int32_t channels, const EncodeOptions& options);

/// What a file says about its image.
struct DecodeInfo {
  std::int32_t version = 0;
  std::int32_t rows = 0, cols = 0, channels = 0, bitDepth = 0;
  std::int32_t blockRows = 0, blockCols = 0;
  /// The dictionaries' descriptions (normalised), or "" when the file holds
  /// matrices.
  std::string dictionaryY, dictionaryX;
  /// Atoms of the dictionaries (from inspectImage: 0 for descriptions, which
  /// it does not build).
  std::int32_t Ky = 0, Kx = 0;
  double step = 0.0;
  /// How the blocks' vectors are made: 0 by Gram-Schmidt from the atoms in
  /// scan order (every version 1 file), 1 the atoms themselves (both
  /// dictionaries orthonormal bases of their side).
  std::int32_t vectors = 0;
  std::uint64_t atoms = 0;       ///< atoms coded (0 from inspectImage, which reads no payload)
};

/// Bounds a caller may put on what a file makes the decoder do, beyond the
/// format's own limits (codec_limits): a file asking for more is refused
/// with kLimits before the work is done.
struct DecodeLimits {
  std::uint64_t maxSamples = codec_limits::kMaxSamples;  ///< rows x cols x channels
  /// Atoms in all; each atom costs the decoder one Gram-Schmidt step over its
  /// block's earlier ones (or, when the atoms are the vectors, one product).
  std::uint64_t maxAtoms = std::uint64_t(1) << 32;
};

/// A decoded image.
struct DecodedImage {
  /// rows x cols x channels doubles, column-major, every one an integer in
  /// 0 .. 2^bitDepth - 1.
  std::vector<double> pixels;
  DecodeInfo info;
};

/// Decodes a file. The bytes may come from anywhere: whatever they hold, the
/// result is an image or a CodecError, never a crash, a hang, a non-finite
/// value or storage beyond what the header's checked sizes need.
/// @param data    in, the file's bytes
/// @param size    their number
/// @param limits  in, the caller's bounds
/// @return the image and what the file said
/// @throws CodecError with one of the decoding identifiers
DecodedImage decodeImage(const std::uint8_t* data, std::size_t size,
                         const DecodeLimits& limits = DecodeLimits());

/// Reads only what a file's header says (checksum included), without decoding.
/// @throws CodecError as decodeImage does for the header
DecodeInfo inspectImage(const std::uint8_t* data, std::size_t size);

/// PSNR of an image against another of the same size, in dB with the given
/// peak (Inf when they are equal).
/// @param a, b   in, count doubles each
/// @param count  number of samples
/// @param peak   the largest sample value (255 for 8 bits)
double imagePsnr(const double* a, const double* b, std::size_t count, double peak);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_H
