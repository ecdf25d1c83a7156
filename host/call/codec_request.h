// What every host of the codec (Octave's tilevista_encode/tilevista_decode,
// Python's tilevista.codec) asks of it and gets back, decided once: which bit
// depth an image's sample class means, which class a decoded image comes
// back in, how a dictionary pair is written, and the names of the report's
// and the file's facts. The codec itself is include/tilevista/codec.h.
#ifndef TILEVISTA_CODEC_REQUEST_H
#define TILEVISTA_CODEC_REQUEST_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tilevista/codec.h"

namespace codec_request {

/// A dictionary pair written wrong: a text with more than one '/', a cell or
/// tuple of other than two, or a description beside a matrix.
constexpr const char* kDictionaryPair = "TILEVISTA:dictionaryPair";

/// A file the host cannot read or write (a file name given to the encoder
/// or the decoder), or one larger than any file of the codec (its length
/// field has 4 bytes).
constexpr const char* kFile = "TILEVISTA:codecFile";
/// What a decoder was given is neither bytes nor a file name.
constexpr const char* kInput = "TILEVISTA:codecInput";
/// The largest file of the codec, in bytes: its length field's range.
constexpr std::uint64_t kMaxFileBytes = 0xFFFFFFFFull;

/// The class of an image's samples as a host holds them.
enum class SampleClass { kUint8, kUint16, kDouble, kOther };

/// The bit depth an image is coded with: uint8 images 8 bits, uint16 images
/// 16, doubles 8 (samples 0..255), unless the caller asks for another depth
/// (1..8 for uint8, 1..16 for the others; the codec refuses samples above
/// 2^depth - 1).
/// @param samples  the image's class
/// @param asked    the depth asked for, 0 for none
/// @param depth    out, the depth
/// @param message  out, why it is refused
/// @return false when refused (the identifier: codec_error::kOptions for the
///         depth, kImage for the class)
bool bitDepthFor(SampleClass samples, double asked, std::int32_t* depth, std::string* message);

/// Whether a decoded image of this bit depth comes back as 8-bit integers
/// (depths 1 to 8), else as 16-bit ones.
bool decodesToEightBits(std::int32_t bitDepth);

/// A text naming the dictionaries: one description for both directions, or
/// "ROWS/COLUMNS", two around one '/'.
/// @param text        in, the text given
/// @param dictionary  out, its description and descriptionX
/// @return false when the text has more than one '/'
bool readDescriptionPair(const std::string& text, tilevista::CodecDictionary* dictionary);

/// The message for a dictionary pair written wrong (kDictionaryPair), with
/// what was seen.
std::string dictionaryPairMessage(const std::string& seen);

/// The encoder's report as named numbers, the names every host gives them:
/// psnr, bpp, bytes, atoms, step, prefix, pursuit_atoms, pursuit_seconds,
/// coding_seconds.
std::vector<std::pair<const char*, double>> reportFields(const tilevista::EncodeReport& report);

/// What a file's header says as named numbers: version, rows, cols,
/// channels, bit_depth, block_rows, block_cols, atoms_y, atoms_x, step,
/// vectors, atoms (the descriptions are dictionaryDescriptions').
std::vector<std::pair<const char*, double>> infoFields(const tilevista::DecodeInfo& info);

}  // namespace codec_request

#endif  // TILEVISTA_CODEC_REQUEST_H
