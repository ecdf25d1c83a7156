// The 1-D dictionaries of the toolbox, built from a description string such as
// "cosine:16+legendre:8+haar+delta": families of atoms of length n with unit
// Euclidean norm, side by side in the order named. Hosts (the Octave function
// file, the Python extension) call this and nothing else of the layer, so that
// every host gives the same bits. docs/dictionaries.md describes the families.
//
// A description is one or more family terms joined by '+'. A term is a family
// name, lower case, then its parameters, each after a ':' and written as a
// decimal integer without sign. Spaces and tabs around the names, the numbers
// and the separators are ignored. The terms:
//
//   cosine:K        K sampled cosines, the toolbox's redundant cosine dictionary
//   sine:K          K sampled sines of the same construction
//   legendre:K      discrete orthonormal polynomials of degree 0..K-1, K <= n
//   chebyshev:K     Chebyshev polynomials T_0..T_{K-1}, normalised, K <= n
//   haar            the periodised Haar wavelet basis
//   daubechies:P    the periodised Daubechies basis with P vanishing moments, 1..4
//   cdf97           the synthesis vectors of the periodised CDF 9/7 wavelets
//   delta           the identity (single samples)
//   random:K:seed   K Gaussian columns from the layer's own generator
//
// An atom of a later term that repeats a kept atom of an earlier term
// (|cos angle| > 1 - kRepeatTolerance) is left out; the result lists it and
// the column it repeats. A term's own atoms are never compared with each
// other: each term gives what its construction gives.
#ifndef TILEVISTA_DICTIONARY_H
#define TILEVISTA_DICTIONARY_H

#include <cstdint>
#include <string>
#include <vector>

namespace tilevista {

/// The identifier of every error of the dictionary layer.
constexpr const char* kDictionaryErrorId = "TILEVISTA:dictionary";
/// Longest atom: n is 1..kMaxDictionaryLength.
constexpr std::int32_t kMaxDictionaryLength = 1024;
/// Most atoms one term may list (its K), and most atoms of all terms together.
constexpr std::int32_t kMaxDictionaryAtoms = 65536;
/// Most values (n times the atoms of all terms, before repeats are left out):
/// 2^24 doubles, 128 MiB.
constexpr std::int64_t kMaxDictionaryValues = std::int64_t(1) << 24;
/// Largest seed of random:K:seed (seeds are 0..2^32-1).
constexpr std::uint32_t kMaxDictionarySeed = 4294967295u;
/// Two unit atoms a, b repeat each other when |a'b| > 1 - kRepeatTolerance.
constexpr double kRepeatTolerance = 1e-12;

/// One atom: which term gave it and its place in that term's own list.
struct DictionaryAtom {
  std::string family;     ///< family name, e.g. "cosine"
  std::string parameter;  ///< the term's parameters as normalised, e.g. "16", "16:7", "" for none
  std::int32_t number;    ///< 0-based position in the term's own list of atoms
};

/// A built dictionary.
struct Dictionary {
  std::int32_t length = 0;              ///< n, the rows
  std::int32_t atoms = 0;               ///< K, the columns kept
  std::vector<double> matrix;           ///< n x K, column-major, unit-norm columns
  std::vector<DictionaryAtom> kept;     ///< K entries, column by column
  std::vector<DictionaryAtom> dropped;  ///< atoms left out as repeats, in the terms' order
  std::vector<std::int32_t> repeats;    ///< per dropped atom, the 0-based column it repeats
  std::string description;              ///< the description normalised: no spaces, canonical numbers
};

/// Why a description was refused.
struct DictionaryError {
  const char* identifier = kDictionaryErrorId;  ///< always kDictionaryErrorId
  std::string message;  ///< the cause, then every family with its syntax
};

/// Builds the dictionary a description names, for atoms of length n.
/// @param description  in: the description string (see above)
/// @param n            in: atom length, 1..kMaxDictionaryLength; 64 bits wide so
///                     that a host passes any whole number it was given and the
///                     refusal names it as given
/// @param out          out: the dictionary; left untouched on failure; null is refused
/// @param error        out: the reason on failure; may be null
/// @return true when built; false when the description or n is refused
///         (nothing is thrown for a bad description; std::bad_alloc may be)
bool buildDictionary(const std::string& description, std::int64_t n, Dictionary* out,
                     DictionaryError* error);

/// What a host says when memory ran out while a dictionary was built (its
/// identifier is the host's out-of-memory one): the most a description may
/// ask for, and why a host may need twice that.
std::string dictionaryMemoryMessage();

/// The family names, in the order messages list them.
const std::vector<std::string>& dictionaryFamilies();

}  // namespace tilevista

#endif  // TILEVISTA_DICTIONARY_H
