// The byte format of a fuzz input: one call of the module's entry point, its
// inputs built as host arrays of the substitute host. The fuzzer decodes
// arbitrary bytes with it; the seed generator writes the same format, so every
// seed in fuzz/corpus/ is reproducible from fuzz/make_corpus.cpp.
//
// Every byte string decodes to some call: reads past the end give 0, every
// choice byte is taken modulo its number of choices, and every size is clamped
// so that one call stays small (see kMaxElements).
//
//   call        := mode:u8 (even: raw, odd: structured) body
//   raw         := nrhs:u8 (%9) nlhs:u8 (%9) array{nrhs}
//   array       := kind:u8 (%12) ...
//     0 double  shape fill           1 complex  shape fill fill
//     2 sparse  shape nzmax:u8       3 char     shape first:u8
//     4 single  shape fill           5 integer  class:u8 (%8) shape fill
//     6 logical shape seed:u8        7 cell     shape array{m*n} (depth <= 3)
//     8 null: an empty cell element; at top level a 0 x 0 double
//     9 double scalar: value         10 empty double: shape with one side 0
//     11 string: length:u8 (%32)
//   shape       := m:u16 n:u16   (clamped: m x n <= 4096, or <= 65536 for a vector,
//                                 and within what is left of the call's budget)
//   fill        := how:u8 (%6) ...
//     0 zeros   1 value{m*n}   2 random: seed:u32 exponent:u8
//     3 random, then patches: count:u8 (pos:u16 value){count}
//     4 constant: value        5 identity (ones on the diagonal)
//   value       := tag:u8 [f64 when tag = 0]  (see decodeValue)
//   structured  := rows:u8 cols:u8 Ky:u8 Kx:u8 d:u8 nc:u8 seed:u32
//                  dyKind:u8 dxKind:u8 blockKind:u8 exponent:u8
//                  tolChoice:u8 [value] maxChoice:u8 [u8 | value]
//                  nlhs:u8 corrupt:u8 [position:u8 array] patches:u8 (target:u8 pos:u16 value){..}
#ifndef TILEVISTA_FUZZ_CALL_ENCODING_H
#define TILEVISTA_FUZZ_CALL_ENCODING_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host_call.h"

namespace fuzzcall {

/// Largest number of elements of one decoded matrix; a vector (one side 0 or 1)
/// may have up to kMaxVectorElements, enough for sizes whose products pass 2^31.
/// All arrays of one call together hold at most kMaxCallElements.
constexpr std::size_t kMaxElements = 4096;
constexpr std::size_t kMaxVectorElements = 65536;
constexpr std::size_t kMaxCallElements = 4 * kMaxVectorElements;

/// Sequential reader of fuzz bytes; past the end every read yields zeros.
class Reader {
 public:
  /// data, size: in, the fuzz input (not copied; must outlive the reader).
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t u8();
  std::uint16_t u16();  ///< little-endian
  std::uint32_t u32();  ///< little-endian
  double f64();         ///< the 8 bytes of an IEEE double, little-endian

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

/// Appends values in the reader's format; used to write seeds.
class Writer {
 public:
  void u8(unsigned v) { bytes.push_back(static_cast<std::uint8_t>(v)); }
  void u16(unsigned v);
  void u32(std::uint32_t v);
  void f64(double v);
  std::vector<std::uint8_t> bytes;
};

/// Value tags; tags at or above kSmallBase encode (tag - kSmallZero) / 4.
enum ValueTag : std::uint8_t {
  kRawDouble = 0,
  kNaN,
  kPlusInf,
  kMinusInf,
  kTiniestSubnormal,
  kNegativeLargestSubnormal,
  kDoubleMax,
  kMinusDoubleMax,
  kDoubleMin,
  kTiny,       // 1e-300
  kHuge,       // 1e300
  kMinusZero,
  kMicro,      // 1e-12
  kMega,       // 1e12
  kSmallBase,  // first tag of the small quarter-integers
};
constexpr int kSmallZero = 142;  ///< tag of 0.0 among the small values

/// Array kinds of the raw format.
enum ArrayKind : std::uint8_t {
  kDouble = 0, kComplex, kSparse, kChar, kSingle, kInteger, kLogical, kCell, kNull,
  kScalar, kEmptyDouble, kString, kArrayKinds
};
/// Fill modes of numeric arrays.
enum Fill : std::uint8_t { kZeros = 0, kExplicit, kRandom, kRandomPatched, kConstant, kIdentity, kFills };

/// Dictionary kinds of the structured format.
enum DictionaryKind : std::uint8_t {
  kRandomUnit = 0,   // random columns of unit norm
  kCosine,           // the toolbox's cosine dictionary, redundant when K > n
  kDuplicated,       // random, with exact duplicate atoms
  kWithZeroAtoms,    // random, with all-zero atoms
  kRawRandom,        // random values scaled by the exponent
  kNearlyDependent,  // atoms tilted by 1e-9 from the first one
  kDictionaryKinds
};
/// Block kinds of the structured format.
enum BlockKind : std::uint8_t {
  kRandomBlocks = 0,
  kZeroBlocks,
  kAtomCombinations,  // sums of a few separable atoms: exact sparse solutions exist
  kLargeBlocks,       // random times 1e12
  kSmallBlocks,       // random times 1e-12
  kSomeZeroBlocks,
  kScaledBlocks,      // random times 2^exponent
  kBlockKinds
};
/// Choices of the optional inputs in the structured format.
enum TolChoice : std::uint8_t {
  kTolOmitted = 0, kTolEmpty, kTolZero, kTolValue, kTolNaN, kTolNegative, kTolInf, kTolTight,
  kTolChoices
};
enum MaxChoice : std::uint8_t {
  kMaxOmitted = 0, kMaxEmpty, kMaxOne, kMaxSmall, kMaxCapacity, kMaxAboveCapacity, kMaxValue,
  kMaxWrapped, kMaxChoices
};

/// One decoded call: the inputs (owned) and the number of outputs asked for.
struct Call {
  std::vector<host::Array> inputs;
  int nlhs = 0;
  /// True when the call came from the structured mode.
  bool structured = false;
};

/// Decodes one call. Throws nothing; the arrays are created outside any call.
Call decode(const std::uint8_t* data, std::size_t size);

/// The double a value tag stands for (reading the payload for kRawDouble).
double decodeValue(std::uint8_t tag, Reader& in);

}  // namespace fuzzcall

#endif  // TILEVISTA_FUZZ_CALL_ENCODING_H
