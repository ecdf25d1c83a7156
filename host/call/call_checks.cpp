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

// A rejection: the module's message and console line, and the same in plain
// words (see Rejection).
bool reject(Rejection* rejection, const char* identifier, std::string plain, std::string message,
            std::string detail = std::string()) {
  rejection->identifier = identifier;
  rejection->message = std::move(message);
  rejection->detail = std::move(detail);
  rejection->plain = std::move(plain);
  return false;
}

bool sameSize(const ArrayFacts& a, const ArrayFacts& b) {
  return a.rows == b.rows && a.cols == b.cols;
}

long long wide(std::int64_t n) { return static_cast<long long>(n); }

// "1st", "2nd", "3rd", "4th", "11th", "22nd": a block named so reads the same
// whether the host counts from 0 or from 1.
std::string ordinal(std::int64_t n) {
  const char* suffix = "th";
  if (n % 100 < 11 || n % 100 > 13) {
    if (n % 10 == 1) suffix = "st";
    if (n % 10 == 2) suffix = "nd";
    if (n % 10 == 3) suffix = "rd";
  }
  return format("%lld%s", wide(n), suffix);
}

// "1 row", "2 rows": a count and its noun.
std::string counted(std::int64_t n, const char* noun) {
  return format("%lld %s%s", wide(n), noun, n == 1 ? "" : "s");
}

// What is wrong with an array where a real, full double matrix belongs: the
// module's words ("it is <what>") and the cure in plain words. Both empty
// when it is one.
struct Problem {
  std::string what;
  std::string cure;
};

Problem matrixProblem(const ArrayFacts& a) {
  if (!a.exists) return {"an empty cell element", "give it a value"};
  if (a.isCell) return {"a cell array", "pass a matrix in its place"};
  if (a.isChar) return {"a character array", "pass numbers, not text"};
  if (a.isSparse) return {"a sparse matrix", "make it full"};
  if (!a.isDouble) return {format("of class %s", a.className.c_str()), "convert it to double"};
  if (a.isComplex) return {"complex", "pass real values"};
  return {};
}

// What is wrong with a block, for "Block i must be ...; it is <what>"; empty
// when it is a real, full double matrix of rows x cols.
Problem blockProblem(const ArrayFacts& block, std::int64_t rows, std::int64_t cols) {
  if (!block.exists) return {"an empty cell element", "put a block in every element"};
  Problem problem = matrixProblem(block);
  if (problem.what.empty() && (block.rows != rows || block.cols != cols)) {
    problem.what = format("%lld x %lld", wide(block.rows), wide(block.cols));
    problem.cure = "cut every block to one size";
  }
  return problem;
}

bool rejectBlock(Rejection* rejection, std::int64_t i, std::int64_t count, std::int64_t rows,
                 std::int64_t cols, const Problem& problem) {
  const std::string which =
      count == 1 ? std::string("the block")
                 : format("the %s of %lld blocks", ordinal(i + 1).c_str(), wide(count));
  return reject(rejection, error_id::kBlock,
                format("%s must be a real, full double matrix of %lld x %lld%s; it is %s: %s",
                       which.c_str(), wide(rows), wide(cols), count == 1 ? "" : " like the others",
                       problem.what.c_str(), problem.cure.c_str()),
                format("Block %lld must be a real, full double matrix of %lld x %lld; it is %s",
                       wide(i + 1), wide(rows), wide(cols), problem.what.c_str()));
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
      return rejectBlock(rejection, i, Q, size.rows, size.cols,
                         blockProblem(block, size.rows, size.cols));
    }
  }
  return true;
}

// Dy's atoms (the module's dictionary "Y") run along the block rows, Dx's
// ("X") along the block columns.
bool checkDictionaryRows(const ArrayFacts& dictionary, bool isY, std::int64_t length,
                         Rejection* rejection) {
  if (dictionary.rows == length && dictionary.rows != 0 && dictionary.cols != 0) return true;
  const char* const name = isY ? "Dy" : "Dx";
  const char* const side = isY ? "row" : "column";
  const std::string plain =
      length == 0 ? format("the blocks have 0 %ss: give them at least one", side)
      : dictionary.rows == 0 || dictionary.cols == 0
          ? format("%s is %lld x %lld, without atoms: give it at least one column of %lld values, "
                   "one per block %s",
                   name, wide(dictionary.rows), wide(dictionary.cols), wide(length), side)
          : format("%s has atoms of length %lld (its rows), but the blocks have %s: give %s "
                   "%s, one per block %s",
                   name, wide(dictionary.rows), counted(length, side).c_str(), name,
                   counted(length, "row").c_str(), side);
  return reject(rejection, error_id::kDictionaryRows, plain, "Error!!\n",
                format("The atoms in the dictionary dictionary %s are of length %i and should "
                       "be of length %i\n",
                       isY ? "Y" : "X", static_cast<int>(dictionary.rows),
                       static_cast<int>(length)));
}

// The module counts, indexes and sizes its work in 32-bit signed integers; a
// call whose sizes would wrap is refused before anything is allocated.
bool checkSizes(std::int64_t Q, std::int64_t rows, std::int64_t cols, std::int64_t Ky,
                std::int64_t Kx, Rejection* rejection) {
  const std::int64_t N = rows * cols;  // both below 2^32 on any real host
  const char* const limit = ", more than the module's 32-bit counts hold";
  if (rows > kInt32Max || cols > kInt32Max || N > kInt32Max) {
    return reject(rejection, error_id::kTooLarge,
                  format("the blocks are too large: %lld x %lld = %lld pixels each%s: cut the "
                         "image into smaller blocks",
                         wide(rows), wide(cols), wide(N), limit),
                  format("The blocks are too large: %lld x %lld = %lld pixels per block, at most "
                         "%lld",
                         static_cast<long long>(rows), static_cast<long long>(cols),
                         static_cast<long long>(N), static_cast<long long>(kInt32Max)));
  }
  if (Ky > kInt32Max || Kx > kInt32Max || Ky * Kx > kInt32Max) {
    return reject(rejection, error_id::kTooLarge,
                  format("the dictionaries are too large: Dy's %lld atoms times Dx's %lld make "
                         "%lld atom pairs%s: use fewer atoms",
                         wide(Ky), wide(Kx), wide(Ky) * wide(Kx), limit),
                  format("The dictionaries are too large: %lld x %lld atom pairs, at most %lld",
                         static_cast<long long>(Ky), static_cast<long long>(Kx),
                         static_cast<long long>(kInt32Max)));
  }
  const std::int64_t cap = Ky * Kx < N ? Ky * Kx : N;
  if (Q > kInt32Max || cap * Q > kInt32Max) {
    return reject(rejection, error_id::kTooLarge,
                  format("too many blocks: %lld blocks that hold up to %lld atoms each%s: "
                         "approximate the image in several calls, or with larger blocks",
                         wide(Q), wide(cap), limit),
                  format("Too many blocks: %lld blocks of capacity %lld atoms exceed %lld atoms "
                         "in all",
                         static_cast<long long>(Q), static_cast<long long>(cap),
                         static_cast<long long>(kInt32Max)));
  }
  if (N * cap > kInt32Max) {
    return reject(rejection, error_id::kTooLarge,
                  format("the blocks are too large for their dictionaries: a block's %lld atom "
                         "vectors of %lld pixels take %lld values%s: use smaller blocks or "
                         "fewer atoms",
                         wide(cap), wide(N), wide(N) * wide(cap), limit),
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
    const Problem problem = blockProblem(block, call->rows, call->cols);
    if (!problem.what.empty()) {
      return rejectBlock(rejection, i, call->blockCount, call->rows, call->cols, problem);
    }
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
        return reject(rejection, error_id::kTolShape,
                      format("tol must be one number, or empty for the default %g; it is %lld x "
                             "%lld",
                             kDefaultTolerance, wide(t.rows), wide(t.cols)),
                      "The tolerance should be a scalar");
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
                      format("max_atoms must be one number, or empty for no limit; it is %lld x "
                             "%lld",
                             wide(m.rows), wide(m.cols)),
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
    return reject(rejection, error_id::kInputCount,
                  format("the call takes %d to %d inputs (blocks, Dy, Dx, tol, max_atoms); it "
                         "was given %d",
                         kMinInputs, kMaxInputs, count),
                  "Wrong number of input arguments");
  }
  // The message does not say which input it is; the identifier and the
  // plain words do.
  const char* const typeIds[] = {nullptr, error_id::kDictionaryYType, error_id::kDictionaryXType,
                                 error_id::kTolType, error_id::kMaxAtomsType};
  const char* const names[] = {"blocks", "Dy", "Dx", "tol", "max_atoms"};
  for (int i = kDictionaryYInput; i < count; ++i) {
    const ArrayFacts a = inputs.input(i);
    if (!a.exists || a.isComplex || a.isSparse || a.isChar || !a.isDouble) {
      Problem problem = matrixProblem(a);
      if (!a.exists) problem = {"missing", "pass a value"};
      return reject(rejection, typeIds[i],
                    format("%s must be a real, full double %s; it is %s: %s", names[i],
                           i < kTolInput ? "matrix" : "number", problem.what.c_str(),
                           problem.cure.c_str()),
                    "Input must be double, real, full,and nonstring");
    }
  }
  *blocks = inputs.input(kBlocksInput);
  if (!blocks->exists || blocks->rows == 0 || blocks->cols == 0) {
    return reject(rejection, error_id::kEmptyBlocks,
                  "there are no blocks: pass at least one block",
                  "The image matrix is empty!!\n");
  }
  if (!blocks->isCell) {
    return reject(rejection, error_id::kNotACell,
                  format("blocks must be a cell array of blocks (in Python a list or a 3-D "
                         "array); it is a %lld x %lld %s array: cut an image into blocks first, "
                         "or wrap a single block in a cell",
                         wide(blocks->rows), wide(blocks->cols), blocks->className.c_str()),
                  "Must Enter a Cell Block");
  }
  return true;
}

// The budget and tol, as the pursuit states its own limits.
bool checkLimits(double tol, std::int32_t maxAtoms, CheckedCall* call, Rejection* rejection) {
  std::uint32_t limit =
      static_cast<std::uint32_t>(call->capacity) * static_cast<std::uint32_t>(call->blockCount);
  if (static_cast<std::uint32_t>(maxAtoms) > limit) {
    return reject(rejection, error_id::kMaxAtoms,
                  format("max_atoms is %i; it must be 0 (no limit) to %u, the atoms the %d "
                         "blocks can hold (%d each): give a budget in that range, or 0",
                         maxAtoms, limit, static_cast<int>(call->blockCount),
                         static_cast<int>(call->capacity)),
                  kExitedEarly,
                  format("The minimum number of atoms %i must be greater than 0 and less than "
                         "%i!\n",
                         maxAtoms, static_cast<int>(limit)));
  }
  if (maxAtoms != 0) limit = static_cast<std::uint32_t>(maxAtoms);
  if (tol < 0) {
    return reject(rejection, error_id::kTol,
                  format("tol is %g; it must be 0 or more, a total squared error over all "
                         "blocks (0 never stops the pursuit on tol): make one from a target PSNR "
                         "with tilevista_tol_for_psnr (Python: tilevista.tol_for_psnr)",
                         tol),
                  kExitedEarly,
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
  if (!checkDictionaryRows(Dy, true, rows, rejection)) return false;
  if (!checkDictionaryRows(Dx, false, cols, rejection)) return false;
  const std::int64_t Ky = Dy.cols, Kx = Dx.cols;
  if (static_cast<std::uint32_t>(Ky) + static_cast<std::uint32_t>(Kx) < 3u) {
    return reject(rejection, error_id::kAtomCount,
                  format("Dy has %lld atom%s and Dx has %lld: together they need at least 3 "
                         "atoms: give one of them a second atom",
                         wide(Ky), Ky == 1 ? "" : "s", wide(Kx)),
                  "One dictionary should have more than 1 atom and the other should have at "
                  "least one!!",
                  format("Dictionary Y has %i atoms and dictionary X has %i atoms\n!",
                         static_cast<int>(Ky), static_cast<int>(Kx)));
  }
  double tol = kDefaultTolerance;
  std::int32_t maxAtoms = 0;
  if (!checkOptionals(inputs, &tol, &maxAtoms, rejection)) return false;
  if (outputs >= 0 && outputs < kOutputs) {
    return reject(rejection, error_id::kOutputCount,
                  format("the call returns %d outputs and must be asked for all of them; it was "
                         "asked for %d: ask for all of them, or use tilevista_pursuit",
                         kOutputs, outputs),
                  "Wrong number of output arguments!");
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
