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
  /// How a block's vectors are made from its atoms (scan_basis.h).
  BlockVectors vectors = BlockVectors::kGramSchmidt;
};

/// How far from orthonormal a dictionary whose atoms are taken as a block's
/// vectors may be: max |D^T D - I| over its entries.
constexpr double kOrthonormalTolerance = 1e-12;

/// Whether a pair's separable atoms are orthonormal, so that they are a
/// block's vectors themselves: both dictionaries square (as many atoms as
/// the block's side) and max |D^T D - I| <= kOrthonormalTolerance for each.
/// @param pair  in, Dy (blockRows x Ky) and Dx (blockCols x Kx), column-major
bool atomsAreOrthonormal(const DictionaryPair& pair, std::int32_t blockRows, std::int32_t blockCols);

/// The pair an encoder's caller asks for (codec.h: CodecDictionary; an empty
/// one is the default, "cosine:<blockRows>" and "cosine:<blockCols>"), with
/// its vectors the atoms when atomsAreOrthonormal, else Gram-Schmidt's.
/// @throws CodecError(kDictionary) for a description the dictionary layer
///         refuses (its message), matrices of the wrong size, values that are
///         not finite, more than 4096 atoms in a direction or 65536 pairs
DictionaryPair encoderDictionary(const CodecDictionary& asked, std::int32_t blockRows,
                                 std::int32_t blockCols);

/// The pair a parsed file's header names, with the header's vectors.
/// @throws CodecError(kDictionary) for a description that names no dictionary
///         or one with more than 4096 atoms in a direction, or vectors that
///         are the atoms of a pair that is not atomsAreOrthonormal
DictionaryPair fileDictionary(const FileHeader& header);

/// Puts a pair's storage and vectors into a header (blockRows and blockCols set).
void storeDictionary(const DictionaryPair& pair, FileHeader& header);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_CODEC_DICTIONARY_H
