#include "call_checks.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>

namespace {

const int kMinInputs = 3;
const int kMaxInputs = 5;
const int kOutputs = 7;
const std::int64_t kInt32Max = kMaxCount;

// The text of a printf-style format.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string format(const char* pattern, ...);

std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

bool reject(Rejection* rejection, const char* identifier, std::string message,
            std::string detail = std::string()) {
  rejection->identifier = identifier;
  rejection->message = std::move(message);
  rejection->detail = std::move(detail);
  return false;
}

bool sameSize(const ArrayFacts& a, const ArrayFacts& b) {
  return a.rows == b.rows && a.cols == b.cols;
}

// What is wrong with a block, for "Block i must be ...; it is <what>"; empty
// when it is a real, full double matrix of rows x cols.
std::string blockProblem(const ArrayFacts& block, std::int64_t rows, std::int64_t cols) {
  if (!block.exists) return "an empty cell element";
  if (block.isCell) return "a cell array";
  if (block.isChar) return "a character array";
  if (block.isSparse) return "a sparse matrix";
  if (!block.isDouble) return format("of class %s", block.className.c_str());
  if (block.isComplex) return "complex";
  if (block.rows != rows || block.cols != cols) {
    return format("%lld x %lld", static_cast<long long>(block.rows),
                  static_cast<long long>(block.cols));
  }
  return std::string();
}

bool rejectBlock(Rejection* rejection, std::int64_t i, std::int64_t rows, std::int64_t cols,
                 const std::string& problem) {
  return reject(rejection, error_id::kBlock,
                format("Block %lld must be a real, full double matrix of %lld x %lld; it is %s",
                       static_cast<long long>(i + 1), static_cast<long long>(rows),
                       static_cast<long long>(cols), problem.c_str()));
}

// The block size comes from the second block, or from the only one. When the
// second block is the odd one (the first and the third agree, or it is no
// double matrix with values while the first is), the first block's size is the
// one the others are held to, so that the message names the odd block.
ArrayFacts sizeBlock(const CallInputs& inputs, std::int64_t Q) {
  if (Q == 1) return inputs.block(0);
  const ArrayFacts second = inputs.block(1);
  const ArrayFacts first = inputs.block(0);
  if (sameSize(first, second)) return second;
  if (Q >= 3 && sameSize(first, inputs.block(2))) return first;
  const auto isMatrix = [](const ArrayFacts& a) {
    return a.exists && a.isDouble && !a.isSparse && !a.isComplex && a.rows > 0 && a.cols > 0;
  };
  return isMatrix(first) && !isMatrix(second) ? first : second;
}

// Blocks of different sizes are named before any dictionary is held to the
// block size, which would otherwise blame a dictionary for them.
bool checkBlocksAgree(const CallInputs& inputs, std::int64_t Q, const ArrayFacts& size,
                      Rejection* rejection) {
  for (std::int64_t i = 0; i < Q; ++i) {
    const ArrayFacts block = inputs.block(i);
    if (!sameSize(block, size)) {
      return rejectBlock(rejection, i, size.rows, size.cols, blockProblem(block, size.rows, size.cols));
    }
  }
  return true;
}

bool checkDictionaryRows(const ArrayFacts& dictionary, const char* name, std::int64_t length,
                         Rejection* rejection) {
  if (dictionary.rows == length && dictionary.rows != 0 && dictionary.cols != 0) return true;
  return reject(rejection, error_id::kDictionaryRows, "Error!!\n",
                format("The atoms in the dictionary dictionary %s are of length %i and should "
                       "be of length %i\n",
                       name, static_cast<int>(dictionary.rows), static_cast<int>(length)));
}

// The module counts, indexes and sizes its work in 32-bit signed integers; a
// call whose sizes would wrap is refused before anything is allocated.
bool checkSizes(std::int64_t Q, std::int64_t rows, std::int64_t cols, std::int64_t Ky,
                std::int64_t Kx, Rejection* rejection) {
  const std::int64_t N = rows * cols;  // both below 2^32 on any real host
  if (rows > kInt32Max || cols > kInt32Max || N > kInt32Max) {
    return reject(rejection, error_id::kTooLarge,
                  format("The blocks are too large: %lld x %lld = %lld pixels per block, at most "
                         "%lld",
                         static_cast<long long>(rows), static_cast<long long>(cols),
                         static_cast<long long>(N), static_cast<long long>(kInt32Max)));
  }
  if (Ky > kInt32Max || Kx > kInt32Max || Ky * Kx > kInt32Max) {
    return reject(rejection, error_id::kTooLarge,
                  format("The dictionaries are too large: %lld x %lld atom pairs, at most %lld",
                         static_cast<long long>(Ky), static_cast<long long>(Kx),
                         static_cast<long long>(kInt32Max)));
  }
  const std::int64_t cap = Ky * Kx < N ? Ky * Kx : N;
  if (Q > kInt32Max || cap * Q > kInt32Max) {
    return reject(rejection, error_id::kTooLarge,
                  format("Too many blocks: %lld blocks of capacity %lld atoms exceed %lld atoms "
                         "in all",
                         static_cast<long long>(Q), static_cast<long long>(cap),
                         static_cast<long long>(kInt32Max)));
  }
  if (N * cap > kInt32Max) {
    return reject(rejection, error_id::kTooLarge,
                  format("The blocks are too large for their dictionaries: %lld pixels x %lld "
                         "atoms per block exceed %lld values",
                         static_cast<long long>(N), static_cast<long long>(cap),
                         static_cast<long long>(kInt32Max)));
  }
  return true;
}

// Every block must be a real, full double matrix of rows x cols: the pursuit
// reads rows x cols doubles from each. Collects their values.
bool checkBlocks(const CallInputs& inputs, CheckedCall* call, Rejection* rejection) {
  call->blocks.resize(static_cast<std::size_t>(call->blockCount));
  for (std::int32_t i = 0; i < call->blockCount; ++i) {
    const ArrayFacts block = inputs.block(i);
    const std::string problem = blockProblem(block, call->rows, call->cols);
    if (!problem.empty()) return rejectBlock(rejection, i, call->rows, call->cols, problem);
    call->blocks[static_cast<std::size_t>(i)] = block.values;
  }
  return true;
}

const char* const kExitedEarly = "Error TILEVISTA exited early see message above!!\n";

}  // namespace

std::int32_t toAtomBudget(double value) {
  if (!std::isfinite(value)) return 0;
  const double truncated = std::trunc(value);
  const double limit = 9223372036854775808.0;  // 2^63
  if (truncated < -limit || truncated >= limit) return 0;
  const auto wide = static_cast<std::uint64_t>(static_cast<std::int64_t>(truncated));
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(wide & 0xffffffffu));
}

namespace {

// The optional tol and maximum number of atoms, with their defaults.
bool checkOptionals(const CallInputs& inputs, double* tol, std::int32_t* maxAtoms,
                    Rejection* rejection) {
  const int count = inputs.count();
  *tol = kDefaultTolerance;
  if (count > kTolInput) {
    const ArrayFacts t = inputs.input(kTolInput);
    if (t.rows != 0 && t.cols != 0) {
      if (t.rows != 1 || t.cols != 1) {
        return reject(rejection, error_id::kTolShape, "The tolerance should be a scalar");
      }
      *tol = t.values[0];
    }
  }
  *maxAtoms = 0;
  if (count > kMaxAtomsInput) {
    const ArrayFacts m = inputs.input(kMaxAtomsInput);
    if (m.rows != 0 && m.cols != 0) {
      if (m.rows != 1 || m.cols != 1) {
        return reject(rejection, error_id::kMaxAtomsShape,
                      "The maximum number of atoms should be a scalar");
      }
      *maxAtoms = toAtomBudget(m.values[0]);
    }
  }
  return true;
}

// The number of inputs, their classes, and the cell of blocks.
bool checkInputs(const CallInputs& inputs, ArrayFacts* blocks, Rejection* rejection) {
  const int count = inputs.count();
  if (count < kMinInputs || count > kMaxInputs) {
    return reject(rejection, error_id::kInputCount, "Wrong number of input arguments");
  }
  // The message does not say which input it is; the identifier does.
  const char* const typeIds[] = {nullptr, error_id::kDictionaryYType, error_id::kDictionaryXType,
                                 error_id::kTolType, error_id::kMaxAtomsType};
  for (int i = kDictionaryYInput; i < count; ++i) {
    const ArrayFacts a = inputs.input(i);
    if (!a.exists || a.isComplex || a.isSparse || a.isChar || !a.isDouble) {
      return reject(rejection, typeIds[i], "Input must be double, real, full,and nonstring");
    }
  }
  *blocks = inputs.input(kBlocksInput);
  if (!blocks->exists || blocks->rows == 0 || blocks->cols == 0) {
    return reject(rejection, error_id::kEmptyBlocks, "The image matrix is empty!!\n");
  }
  if (!blocks->isCell) return reject(rejection, error_id::kNotACell, "Must Enter a Cell Block");
  return true;
}

// The budget and tol, as the pursuit states its own limits.
bool checkLimits(double tol, std::int32_t maxAtoms, CheckedCall* call, Rejection* rejection) {
  std::uint32_t limit =
      static_cast<std::uint32_t>(call->capacity) * static_cast<std::uint32_t>(call->blockCount);
  if (static_cast<std::uint32_t>(maxAtoms) > limit) {
    return reject(rejection, error_id::kMaxAtoms, kExitedEarly,
                  format("The minimum number of atoms %i must be greater than 0 and less than "
                         "%i!\n",
                         maxAtoms, static_cast<int>(limit)));
  }
  if (maxAtoms != 0) limit = static_cast<std::uint32_t>(maxAtoms);
  if (tol < 0) {
    return reject(rejection, error_id::kTol, kExitedEarly,
                  format("Tol is %g is should be positive!\n", tol));
  }
  call->tol = tol;
  call->atomLimit = limit;
  return true;
}

}  // namespace

bool checkCall(const CallInputs& inputs, int outputs, CheckedCall* call, Rejection* rejection) {
  ArrayFacts blocks;
  if (!checkInputs(inputs, &blocks, rejection)) return false;
  const std::int64_t Q = blocks.rows * blocks.cols;
  const ArrayFacts size = sizeBlock(inputs, Q);
  if (!checkBlocksAgree(inputs, Q, size, rejection)) return false;
  const std::int64_t rows = size.rows, cols = size.cols;

  const ArrayFacts Dy = inputs.input(kDictionaryYInput);
  const ArrayFacts Dx = inputs.input(kDictionaryXInput);
  if (!checkDictionaryRows(Dy, "Y", rows, rejection)) return false;
  if (!checkDictionaryRows(Dx, "X", cols, rejection)) return false;
  const std::int64_t Ky = Dy.cols, Kx = Dx.cols;
  if (static_cast<std::uint32_t>(Ky) + static_cast<std::uint32_t>(Kx) < 3u) {
    return reject(rejection, error_id::kAtomCount,
                  "One dictionary should have more than 1 atom and the other should have at "
                  "least one!!",
                  format("Dictionary Y has %i atoms and dictionary X has %i atoms\n!",
                         static_cast<int>(Ky), static_cast<int>(Kx)));
  }
  double tol = kDefaultTolerance;
  std::int32_t maxAtoms = 0;
  if (!checkOptionals(inputs, &tol, &maxAtoms, rejection)) return false;
  if (outputs >= 0 && outputs < kOutputs) {
    return reject(rejection, error_id::kOutputCount, "Wrong number of output arguments!");
  }
  if (!checkSizes(Q, rows, cols, Ky, Kx, rejection)) return false;

  call->gridRows = blocks.rows;
  call->gridCols = blocks.cols;
  call->blockCount = static_cast<std::int32_t>(Q);
  call->rows = static_cast<std::int32_t>(rows);
  call->cols = static_cast<std::int32_t>(cols);
  call->Ky = static_cast<std::int32_t>(Ky);
  call->Kx = static_cast<std::int32_t>(Kx);
  call->capacity = static_cast<std::int32_t>(Ky * Kx < rows * cols ? Ky * Kx : rows * cols);
  call->Dy = Dy.values;
  call->Dx = Dx.values;
  if (!checkBlocks(inputs, call, rejection)) return false;
  return checkLimits(tol, maxAtoms, call, rejection);
}
