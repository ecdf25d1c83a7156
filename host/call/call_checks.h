// The checks of one call of the module, the same for every host: the MEX
// gateway, the Octave function file and Python describe the arrays they
// were given (ArrayFacts), and these checks decide, in one fixed order with
// fixed texts, whether the call goes ahead and with which sizes and defaults.
#ifndef TILEVISTA_CALL_CHECKS_H
#define TILEVISTA_CALL_CHECKS_H

#include <cstdint>
#include <string>
#include <vector>

/// Identifiers of the rejections, one per check; each host raises its errors
/// with them ("TILEVISTA:<what>").
namespace error_id {
constexpr const char* kInputCount = "TILEVISTA:inputCount";
// "Input must be double, real, full,and nonstring": one per input it concerns.
constexpr const char* kDictionaryYType = "TILEVISTA:dictionaryYType";
constexpr const char* kDictionaryXType = "TILEVISTA:dictionaryXType";
constexpr const char* kTolType = "TILEVISTA:tolType";
constexpr const char* kMaxAtomsType = "TILEVISTA:maxAtomsType";
constexpr const char* kEmptyBlocks = "TILEVISTA:emptyBlocks";
constexpr const char* kNotACell = "TILEVISTA:notACell";
constexpr const char* kBlock = "TILEVISTA:block";
constexpr const char* kDictionaryRows = "TILEVISTA:dictionaryRows";
constexpr const char* kAtomCount = "TILEVISTA:atomCount";
constexpr const char* kTolShape = "TILEVISTA:tolShape";
constexpr const char* kMaxAtomsShape = "TILEVISTA:maxAtomsShape";
constexpr const char* kOutputCount = "TILEVISTA:outputCount";
constexpr const char* kTooLarge = "TILEVISTA:tooLarge";
constexpr const char* kMaxAtoms = "TILEVISTA:maxAtoms";
constexpr const char* kTol = "TILEVISTA:tol";
constexpr const char* kThreads = "TILEVISTA:threads";
constexpr const char* kScoring = "TILEVISTA:scoring";
constexpr const char* kBasis = "TILEVISTA:basis";
constexpr const char* kOutOfMemory = "TILEVISTA:outOfMemory";
constexpr const char* kInterrupted = "TILEVISTA:interrupted";
// The front doors' own options (tilevista_pursuit, Python): a name they do
// not know, or a value they do not take.
constexpr const char* kOption = "TILEVISTA:option";
// A front door (tilevista_dictionary) given too few or too many inputs.
constexpr const char* kArgumentCount = "TILEVISTA:argumentCount";
}  // namespace error_id

/// What the checks need to know of one array a caller passed.
struct ArrayFacts {
  bool exists = false;     ///< false: no array (an empty element of a cell array)
  bool isCell = false;
  bool isDouble = false;   ///< of class double (sparse or complex ones too)
  bool isChar = false;
  bool isComplex = false;
  bool isSparse = false;
  std::string className;   ///< the host's name of its class, for messages
  std::int64_t rows = 0, cols = 0;  ///< of a matrix, or of a cell array's grid
  /// A real, full double matrix's values, rows x cols, column-major; any
  /// address. Null for anything else.
  const double* values = nullptr;
};

/// A host's view of the inputs of one call.
class CallInputs {
 public:
  virtual ~CallInputs() = default;
  /// Number of inputs passed.
  virtual int count() const = 0;
  /// The input at 0-based position (< count()).
  virtual ArrayFacts input(int position) const = 0;
  /// Element i (0-based, linear) of the first input, when that is a cell array.
  virtual ArrayFacts block(std::int64_t i) const = 0;
};

/// Positions of the inputs, 0-based.
enum InputPosition { kBlocksInput = 0, kDictionaryYInput, kDictionaryXInput, kTolInput, kMaxAtomsInput };

/// A rejected call. The module's own texts (its contract, which TILEVISTA_Mex
/// shows as they are): a line to print on the host's console first (may be
/// empty), then the error to raise. Beside them the same rejection in plain
/// words, for the front doors (tilevista_pursuit, Python): what was wrong,
/// with the sizes or classes seen, and the cure; one line, no line feed.
struct Rejection {
  const char* identifier = "";
  std::string detail;
  std::string message;
  std::string plain;
};

/// An accepted call: its sizes, the defaults applied, and where the values are.
struct CheckedCall {
  std::int64_t gridRows = 0, gridCols = 0;  ///< d and nc: the blocks' grid
  std::int32_t blockCount = 0;              ///< Q = d x nc
  std::int32_t rows = 0, cols = 0;          ///< block size
  std::int32_t Ky = 0, Kx = 0;              ///< atoms of each dictionary
  std::int32_t capacity = 0;                ///< atoms a block can hold: min(Ky x Kx, rows x cols)
  double tol = 6.5;
  std::uint32_t atomLimit = 0;              ///< the atoms allowed in all
  std::vector<const double*> blocks;        ///< Q blocks' values
  const double* Dy = nullptr;               ///< rows x Ky
  const double* Dx = nullptr;               ///< cols x Kx
};

/// The default tol.
constexpr double kDefaultTolerance = 6.5;

/// The most of each count a call may hold (pixels per block, atom pairs of the
/// dictionaries, atoms in all, values of a block's vectors): the module counts
/// in 32-bit signed integers.
constexpr std::int64_t kMaxCount = 2147483647;  // 2^31 - 1

/// Checks a call in the module's order and applies the defaults.
/// @param inputs     in, the call's inputs
/// @param outputs    outputs the caller asked for; -1 for a host that returns
///                   all results at once (the output count is then not checked)
/// @param call       out, on success
/// @param rejection  out, on failure
/// @return true when the call goes ahead
bool checkCall(const CallInputs& inputs, int outputs, CheckedCall* call, Rejection* rejection);

/// The maximum number of atoms as a caller's double gives it: truncated toward
/// zero to 64 bits, of which the low 32 bits are kept; NaN, infinities and
/// values outside the 64-bit range give 0.
std::int32_t toAtomBudget(double value);

#endif  // TILEVISTA_CALL_CHECKS_H
