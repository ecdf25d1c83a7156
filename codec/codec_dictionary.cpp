// Dictionaries from descriptions (the dictionary layer) or from matrices, for
// the encoder and the decoder alike (codec_dictionary.h).
#include "codec_dictionary.h"

#include <cmath>

#include "tilevista/dictionary.h"

namespace tilevista {

namespace {

[[noreturn]] void refuse(const std::string& what) {
  throw CodecError(codec_error::kDictionary, what);
}

void checkAtomCount(std::int32_t K, const char* direction) {
  if (K < 1 || K > codec_limits::kMaxAtomsPerDirection) {
    refuse(std::string("The dictionary has ") + std::to_string(K) + " atoms along the block's " +
           direction + "; the codec takes 1 to 4096.");
  }
}

void checkPairs(std::int32_t Ky, std::int32_t Kx) {
  if (std::int64_t(Ky) * Kx > codec_limits::kMaxAtomPairs) {
    refuse("The dictionaries have " + std::to_string(Ky) + " x " + std::to_string(Kx) +
           " atom pairs; the codec takes at most 65536.");
  }
}

// Builds a description for atoms of length n; `whose` names the dictionary's
// origin in messages.
std::vector<double> described(const std::string& description, std::int32_t n, std::int32_t* K,
                              std::string* normalised, const char* whose) {
  Dictionary built;
  DictionaryError error;
  if (!buildDictionary(description, n, &built, &error)) {
    refuse(std::string(whose) + " dictionary description \"" + description +
           "\" is refused: " + error.message);
  }
  *K = built.atoms;
  *normalised = built.description;
  return std::move(built.matrix);
}

void checkMatrix(const std::vector<double>& D, std::int32_t length, std::int32_t K,
                 const char* name) {
  if (D.size() != std::size_t(length) * std::size_t(K)) {
    refuse(std::string("Dictionary ") + name + " has " + std::to_string(D.size()) +
           " values; with " + std::to_string(K) + " atoms of length " + std::to_string(length) +
           " it must have " + std::to_string(std::size_t(length) * std::size_t(K)) + ".");
  }
  for (double v : D) {
    if (!std::isfinite(v)) refuse(std::string("Dictionary ") + name + " holds a value that is not finite.");
  }
}

}  // namespace

DictionaryPair encoderDictionary(const CodecDictionary& asked, std::int32_t blockRows,
                                 std::int32_t blockCols) {
  DictionaryPair pair;
  if (!asked.description.empty()) {
    if (asked.description.size() > codec_limits::kMaxDescription) {
      refuse("The dictionary description is longer than 255 bytes.");
    }
    pair.storage = DictionaryStorage::kDescription;
    std::string again;
    pair.Dy = described(asked.description, blockRows, &pair.Ky, &pair.description, "The");
    pair.Dx = described(asked.description, blockCols, &pair.Kx, &again, "The");
    checkAtomCount(pair.Ky, "rows");
    checkAtomCount(pair.Kx, "columns");
    checkPairs(pair.Ky, pair.Kx);
    if (pair.description.size() > codec_limits::kMaxDescription) {
      refuse("The normalised dictionary description is longer than 255 bytes.");
    }
    return pair;
  }
  checkAtomCount(asked.Ky, "rows");
  checkAtomCount(asked.Kx, "columns");
  checkPairs(asked.Ky, asked.Kx);
  checkMatrix(asked.Dy, blockRows, asked.Ky, "Y");
  checkMatrix(asked.Dx, blockCols, asked.Kx, "X");
  pair.Dy = asked.Dy;
  pair.Dx = asked.Dx;
  pair.Ky = asked.Ky;
  pair.Kx = asked.Kx;
  pair.storage = blockRows == blockCols && pair.Dy == pair.Dx ? DictionaryStorage::kOneMatrix
                                                              : DictionaryStorage::kMatrices;
  return pair;
}

DictionaryPair fileDictionary(const FileHeader& header) {
  DictionaryPair pair;
  pair.storage = header.storage;
  if (header.storage == DictionaryStorage::kDescription) {
    std::string again;
    pair.Dy = described(header.description, header.blockRows, &pair.Ky, &pair.description,
                        "The file's");
    pair.Dx = described(header.description, header.blockCols, &pair.Kx, &again, "The file's");
    checkAtomCount(pair.Ky, "rows");
    checkAtomCount(pair.Kx, "columns");
    checkPairs(pair.Ky, pair.Kx);
    return pair;
  }
  pair.Ky = header.Ky;
  pair.Kx = header.Kx;
  pair.Dy = header.Dy;
  pair.Dx = header.storage == DictionaryStorage::kOneMatrix ? header.Dy : header.Dx;
  return pair;
}

void storeDictionary(const DictionaryPair& pair, FileHeader& header) {
  header.storage = pair.storage;
  header.description = pair.description;
  header.Ky = pair.Ky;
  header.Kx = pair.Kx;
  header.Dy = pair.Dy;
  header.Dx = pair.storage == DictionaryStorage::kMatrices ? pair.Dx : std::vector<double>();
}

}  // namespace tilevista
