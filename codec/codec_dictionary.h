// The codec's one way to a dictionary pair, for the encoder and the decoder:
// descriptions are built by the dictionary layer (and only the descriptions
// are stored), matrices are checked and stored as they are.
#ifndef TILEVISTA_CODEC_CODEC_DICTIONARY_H
#define TILEVISTA_CODEC_CODEC_DICTIONARY_H

#include <cstdint>
#include <string>
#include <vector>

#include "file_format.h"
#include "tilevista/codec.h"

namespace tilevista {

/// A dictionary pair ready for the pursuit and the bases, and how a file
/// holds it.
struct DictionaryPair {
  std::vector<double> Dy;  ///< blockRows x Ky, column-major
  std::vector<double> Dx;  ///< blockCols x Kx, column-major
  std::int32_t Ky = 0, Kx = 0;
  DictionaryStorage storage = DictionaryStorage::kDescription;
  std::string descriptionY, descriptionX;  ///< normalised, with kDescription
};

/// The pair an encoder's caller asks for (codec.h: CodecDictionary; an empty
/// one is the default, "cosine:<blockRows>" and "cosine:<blockCols>").
/// @throws CodecError(kDictionary) for a description the dictionary layer
///         refuses (its message), matrices of the wrong size, values that are
///         not finite, more than 4096 atoms in a direction or 65536 pairs
DictionaryPair encoderDictionary(const CodecDictionary& asked, std::int32_t blockRows,
                                 std::int32_t blockCols);

/// The pair a parsed file's header names.
/// @throws CodecError(kDictionary) for a description that names no dictionary
///         or one with more than 4096 atoms in a direction
DictionaryPair fileDictionary(const FileHeader& header);

/// Puts a pair's storage into a header (blockRows and blockCols set).
void storeDictionary(const DictionaryPair& pair, FileHeader& header);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_CODEC_DICTIONARY_H
