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

// max |D^T D - I| <= kOrthonormalTolerance for D, n x n, column-major.
bool orthonormal(const std::vector<double>& D, std::int32_t n) {
  for (std::int32_t a = 0; a < n; ++a) {
    const double* u = D.data() + std::size_t(a) * std::size_t(n);
    for (std::int32_t b = a; b < n; ++b) {
      const double* v = D.data() + std::size_t(b) * std::size_t(n);
      double dot = 0.0;
      for (std::int32_t i = 0; i < n; ++i) dot += u[i] * v[i];
      if (!(std::fabs(dot - (a == b ? 1.0 : 0.0)) <= kOrthonormalTolerance)) return false;
    }
  }
  return true;
}

}  // namespace

bool atomsAreOrthonormal(const DictionaryPair& pair, std::int32_t blockRows, std::int32_t blockCols) {
  return pair.Ky == blockRows && pair.Kx == blockCols &&
         pair.Dy.size() == std::size_t(blockRows) * std::size_t(blockRows) &&
         pair.Dx.size() == std::size_t(blockCols) * std::size_t(blockCols) &&
         orthonormal(pair.Dy, blockRows) && orthonormal(pair.Dx, blockCols);
}

namespace {

// A pair from two descriptions; `whose` names their origin in messages.
DictionaryPair describedPair(const std::string& y, const std::string& x, std::int32_t blockRows,
                             std::int32_t blockCols, const char* whose) {
  DictionaryPair pair;
  pair.storage = DictionaryStorage::kDescription;
  pair.Dy = described(y, blockRows, &pair.Ky, &pair.descriptionY, whose);
  pair.Dx = described(x, blockCols, &pair.Kx, &pair.descriptionX, whose);
  checkAtomCount(pair.Ky, "rows");
  checkAtomCount(pair.Kx, "columns");
  checkPairs(pair.Ky, pair.Kx);
  for (const std::string* d : {&pair.descriptionY, &pair.descriptionX}) {
    if (d->size() > codec_limits::kMaxDescription) {
      refuse("The normalised dictionary description \"" + d->substr(0, 64) +
             "...\" is longer than 255 bytes.");
    }
  }
  return pair;
}

// The pair an encoder's caller asks for, its vectors not yet chosen.
DictionaryPair askedPair(const CodecDictionary& asked, std::int32_t blockRows, std::int32_t blockCols) {
  const bool matrices = asked.Ky != 0 || asked.Kx != 0 || !asked.Dy.empty() || !asked.Dx.empty();
  if (asked.description.empty() && asked.descriptionX.empty() && !matrices) {
    return describedPair("cosine:" + std::to_string(blockRows), "cosine:" + std::to_string(blockCols),
                         blockRows, blockCols, "The");
  }
  if (asked.description.empty() && !asked.descriptionX.empty()) {
    refuse("Dictionary X has a description but dictionary Y has none: give both, or one for both.");
  }
  if (!asked.description.empty()) {
    for (const std::string* d : {&asked.description, &asked.descriptionX}) {
      if (d->size() > codec_limits::kMaxDescription) {
        refuse("A dictionary description is longer than 255 bytes.");
      }
    }
    const std::string& x = asked.descriptionX.empty() ? asked.description : asked.descriptionX;
    return describedPair(asked.description, x, blockRows, blockCols, "The");
  }
  checkAtomCount(asked.Ky, "rows");
  checkAtomCount(asked.Kx, "columns");
  checkPairs(asked.Ky, asked.Kx);
  checkMatrix(asked.Dy, blockRows, asked.Ky, "Y");
  checkMatrix(asked.Dx, blockCols, asked.Kx, "X");
  DictionaryPair pair;
  pair.Dy = asked.Dy;
  pair.Dx = asked.Dx;
  pair.Ky = asked.Ky;
  pair.Kx = asked.Kx;
  pair.storage = blockRows == blockCols && pair.Dy == pair.Dx ? DictionaryStorage::kOneMatrix
                                                              : DictionaryStorage::kMatrices;
  return pair;
}

// The pair a file's header names, its vectors not yet taken.
DictionaryPair storedPair(const FileHeader& header) {
  if (header.storage == DictionaryStorage::kDescription) {
    return describedPair(header.descriptionY, header.descriptionX, header.blockRows,
                         header.blockCols, "The file's");
  }
  DictionaryPair pair;
  pair.storage = header.storage;
  pair.Ky = header.Ky;
  pair.Kx = header.Kx;
  pair.Dy = header.Dy;
  pair.Dx = header.storage == DictionaryStorage::kOneMatrix ? header.Dy : header.Dx;
  return pair;
}

}  // namespace

DictionaryPair encoderDictionary(const CodecDictionary& asked, std::int32_t blockRows,
                                 std::int32_t blockCols) {
  DictionaryPair pair = askedPair(asked, blockRows, blockCols);
  pair.vectors = atomsAreOrthonormal(pair, blockRows, blockCols) ? BlockVectors::kAtoms
                                                                 : BlockVectors::kGramSchmidt;
  return pair;
}

DictionaryPair fileDictionary(const FileHeader& header) {
  DictionaryPair pair = storedPair(header);
  // The atoms are a block's vectors only where they are orthonormal: other
  // dictionaries would give a basis that is none (and samples without bound).
  if (header.vectors == BlockVectors::kAtoms &&
      !atomsAreOrthonormal(pair, header.blockRows, header.blockCols)) {
    refuse("The file takes its atoms as the blocks' vectors, but its dictionaries are not "
           "orthonormal bases of the block's sides.");
  }
  pair.vectors = header.vectors;
  return pair;
}

void storeDictionary(const DictionaryPair& pair, FileHeader& header) {
  header.storage = pair.storage;
  header.descriptionY = pair.descriptionY;
  header.descriptionX = pair.descriptionX;
  header.Ky = pair.Ky;
  header.Kx = pair.Kx;
  header.Dy = pair.Dy;
  header.Dx = pair.storage == DictionaryStorage::kMatrices ? pair.Dx : std::vector<double>();
  header.vectors = pair.vectors;
}

}  // namespace tilevista
