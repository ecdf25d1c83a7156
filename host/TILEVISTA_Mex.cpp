// The module's entry point: argument checks, defaults, output creation and one
// pursuit call, which fills the outputs. Compiles unchanged against the
// substitute host, GNU Octave's mex.h and MATLAB's.
//
//   [approx, yIdx, xIdx, duals, coefs, ortho, total] =
//       TILEVISTA_Mex(blocks, Dy, Dx, tol, maxAtoms)
//
// Memory a call needs beyond its inputs, in doubles (N = rows x cols, Q blocks,
// T threads, m atoms in a block, cap = min(Ky x Kx, N)): 2 x Q x N for the
// residuals and approximations; on each thread Ky x Kx + min(Ky x cols,
// rows x Kx) + N to score a block and build an atom; for a block of m atoms
// 2 x N x m for its orthonormal and dual vectors in the outputs and, until
// they are filled, its orthonormal vectors in working storage that grows by
// half when full (at most 1.5 x N x m, never beyond N x cap). About
// 2 x Q x N + 2 x N x (atoms in all) at the end of a call. A call that cannot
// get it ends with "Not enough memory for this call: ...".
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#endif

#include "block_pursuit.h"
#include "mex.h"
#include "pursuit_control.h"
#include "thread_count.h"

// The host's interrupt check (Ctrl-C). Octave: the state its signal handler
// raises, from Octave's own header (only this build uses Octave's headers).
// MATLAB: the interrupt functions of its libut (link with -lut), which MATLAB
// exports but does not document; this branch is not tested here.
#if defined(octave_mex_h)
#include <csignal>
#include <octave/quit.h>
#elif defined(MATLAB_MEX_FILE)
extern "C" bool utIsInterruptPending(void);
extern "C" bool utSetInterruptPending(bool);
#endif

#if defined(__GNUC__)
#define TILEVISTA_EXPORT __attribute__((visibility("default")))
#else
#define TILEVISTA_EXPORT
#endif

namespace {

enum Input { kBlocks = 0, kDictionaryY, kDictionaryX, kTolerance, kMaxAtoms };
enum Output {
  kApproximation = 0,
  kYIndices,
  kXIndices,
  kDuals,
  kCoefficients,
  kOrthonormal,
  kTotalAtoms,
  kOutputCount
};

const int kMinInputs = 3;
const int kMaxInputs = 5;
const double kDefaultTolerance = 6.5;
const std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// Raises a host error with a formatted message; does not return.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void raise(const char* format, ...);

void raise(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  mexErrMsgTxt(text);
}

std::int64_t rowCount(const mxArray* a) {
  return a == nullptr ? 0 : static_cast<std::int64_t>(mxGetM(a));
}
std::int64_t columnCount(const mxArray* a) {
  return a == nullptr ? 0 : static_cast<std::int64_t>(mxGetN(a));
}

// The maximum number of atoms: truncated toward zero to 64 bits, of which the low
// 32 bits are kept; NaN, infinities and values outside the 64-bit range give 0.
std::int32_t toAtomBudget(double value) {
  if (!std::isfinite(value)) return 0;
  const double truncated = std::trunc(value);
  const double limit = 9223372036854775808.0;  // 2^63
  if (truncated < -limit || truncated >= limit) return 0;
  const auto wide = static_cast<std::uint64_t>(static_cast<std::int64_t>(truncated));
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(wide & 0xffffffffu));
}

// Every block must be a real, full double matrix of rows x cols: the pursuit reads
// rows x cols doubles from each. Raises an error naming the first offender.
void checkBlocks(const mxArray* blocks, std::int64_t Q, std::int64_t rows, std::int64_t cols) {
  for (std::int64_t i = 0; i < Q; ++i) {
    const mxArray* block = mxGetCell(blocks, static_cast<mwIndex>(i));
    const char* problem = nullptr;
    char size[64];
    if (block == nullptr) {
      problem = "an empty cell element";
    } else if (mxIsCell(block)) {
      problem = "a cell array";
    } else if (mxIsChar(block)) {
      problem = "a character array";
    } else if (mxIsSparse(block)) {
      problem = "a sparse matrix";
    } else if (!mxIsDouble(block)) {
      std::snprintf(size, sizeof size, "of class %s", mxGetClassName(block));
      problem = size;
    } else if (mxIsComplex(block)) {
      problem = "complex";
    } else if (rowCount(block) != rows || columnCount(block) != cols) {
      std::snprintf(size, sizeof size, "%lld x %lld", static_cast<long long>(rowCount(block)),
                    static_cast<long long>(columnCount(block)));
      problem = size;
    }
    if (problem != nullptr) {
      raise("Block %lld must be a real, full double matrix of %lld x %lld; it is %s",
            static_cast<long long>(i + 1), static_cast<long long>(rows),
            static_cast<long long>(cols), problem);
    }
  }
}

// The module counts, indexes and sizes its work in 32-bit signed integers; a
// call whose sizes would wrap is refused before anything is allocated.
void checkSizes(std::int64_t Q, std::int64_t rows, std::int64_t cols, std::int64_t Ky,
                std::int64_t Kx) {
  const std::int64_t N = rows * cols;  // both below 2^32 on any real host
  if (rows > kInt32Max || cols > kInt32Max || N > kInt32Max) {
    raise("The blocks are too large: %lld x %lld = %lld pixels per block, at most %lld",
          static_cast<long long>(rows), static_cast<long long>(cols), static_cast<long long>(N),
          static_cast<long long>(kInt32Max));
  }
  if (Ky > kInt32Max || Kx > kInt32Max || Ky * Kx > kInt32Max) {
    raise("The dictionaries are too large: %lld x %lld atom pairs, at most %lld",
          static_cast<long long>(Ky), static_cast<long long>(Kx),
          static_cast<long long>(kInt32Max));
  }
  const std::int64_t cap = Ky * Kx < N ? Ky * Kx : N;
  if (Q > kInt32Max || cap * Q > kInt32Max) {
    raise("Too many blocks: %lld blocks of capacity %lld atoms exceed %lld atoms in all",
          static_cast<long long>(Q), static_cast<long long>(cap),
          static_cast<long long>(kInt32Max));
  }
  if (N * cap > kInt32Max) {
    raise("The blocks are too large for their dictionaries: %lld pixels x %lld atoms per "
          "block exceed %lld values",
          static_cast<long long>(N), static_cast<long long>(cap),
          static_cast<long long>(kInt32Max));
  }
}

// Writes an amount of memory in bytes as "16.0 GB", "512.0 MB" or "31 kB".
void formatBytes(double bytes, char* text, std::size_t size) {
  const double kB = 1024.0, MB = kB * 1024.0, GB = MB * 1024.0;
  if (bytes >= GB) {
    std::snprintf(text, size, "%.1f GB", bytes / GB);
  } else if (bytes >= MB) {
    std::snprintf(text, size, "%.1f MB", bytes / MB);
  } else {
    std::snprintf(text, size, "%.0f kB", std::ceil(bytes / kB));
  }
}

// Doubles one thread needs to score a block (its score table and the
// intermediate product) and to build an atom.
double scoringDoubles(std::int64_t rows, std::int64_t cols, std::int64_t Ky, std::int64_t Kx) {
  const double yFirst = static_cast<double>(Ky) * static_cast<double>(cols);
  const double xFirst = static_cast<double>(rows) * static_cast<double>(Kx);
  return static_cast<double>(Ky) * static_cast<double>(Kx) + (yFirst < xFirst ? yFirst : xFirst) +
         static_cast<double>(rows) * static_cast<double>(cols);
}

// Ends a call whose pursuit ran out of memory, with what a call of these sizes
// needs (see the top of this file), so that the caller sees which size to
// reduce. Per block, the most it holds at once: its orthonormal vectors in
// working storage (at most N x cap) while its outputs (2 x N x cap) are
// filled. Does not return.
void raiseOutOfMemory(std::int64_t Q, std::int64_t rows, std::int64_t cols, std::int64_t Ky,
                      std::int64_t Kx, std::int32_t threads) {
  const double bytes = sizeof(double);
  const double N = static_cast<double>(rows) * static_cast<double>(cols);
  const double pairs = static_cast<double>(Ky) * static_cast<double>(Kx);
  const double cap = pairs < N ? pairs : N;
  char scoring[32], residuals[32], perBlock[32];
  formatBytes(bytes * scoringDoubles(rows, cols, Ky, Kx), scoring, sizeof scoring);
  formatBytes(bytes * 2.0 * static_cast<double>(Q) * N, residuals, sizeof residuals);
  formatBytes(bytes * 3.0 * N * cap, perBlock, sizeof perBlock);
  raise("Not enough memory for this call: it takes %s to score a block (%lld x %lld atom pairs) "
        "on each of %d thread%s, %s for the residuals and approximations of %lld blocks, and up "
        "to %s for each block that receives atoms (%lld pixels x %lld atoms)",
        scoring, static_cast<long long>(Ky), static_cast<long long>(Kx), threads,
        threads == 1 ? "" : "s", residuals, static_cast<long long>(Q), perBlock,
        static_cast<long long>(rows * cols), static_cast<long long>(cap));
}

// Bytes the system can still give this process, or a negative value when that
// cannot be told. On Linux an allocation beyond it may succeed and the process
// be killed when the memory is touched, so the module asks first.
double availableBytes() {
#if defined(__linux__)
  double available = -1.0;
  if (std::FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, meminfo) != nullptr) {
      unsigned long long kB = 0;
      if (std::sscanf(line, "MemAvailable: %llu kB", &kB) == 1) {
        available = 1024.0 * static_cast<double>(kB);
        break;
      }
    }
    std::fclose(meminfo);
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const double cap = static_cast<double>(limit.rlim_cur);
    if (available < 0.0 || cap < available) available = cap;
  }
  return available;
#else
  return -1.0;
#endif
}

// Threads for a call whose fixed memory (the residuals and approximations, and
// per thread a score table with its product and an atom) must fit in
// `available` bytes: fewer than asked when only fewer fit, so that a call with
// large dictionaries runs on fewer threads rather than fail; 0 when not even
// one fits.
std::int32_t threadsThatFit(std::int64_t Q, std::int64_t rows, std::int64_t cols, std::int64_t Ky,
                            std::int64_t Kx, std::int32_t threads, double available) {
  const double bytes = sizeof(double);
  const double shared =
      bytes * 2.0 * static_cast<double>(Q) * static_cast<double>(rows) * static_cast<double>(cols);
  const double perThread = bytes * scoringDoubles(rows, cols, Ky, Kx);
  const double fit = std::floor((available - shared) / perThread);
  if (!(fit >= 1.0)) return 0;
  return fit < static_cast<double>(threads) ? static_cast<std::int32_t>(fit) : threads;
}

// True when the user has asked the host to interrupt the running call. Polled
// on this thread at the start of the call and by the pursuit between units of
// work; it only looks, so the interrupt stays pending for endInterruptedCall.
bool interruptPending() {
#if defined(octave_mex_h)
  // Raised above zero by Octave's SIGINT handler, which may run on another
  // thread: read it afresh every time.
  return *static_cast<volatile std::sig_atomic_t*>(&octave_interrupt_state) > 0;
#elif defined(MATLAB_MEX_FILE)
  return utIsInterruptPending();
#else
  return mexInterruptRequested();
#endif
}

// Ends a call the user interrupted, as the host ends its own interrupted
// functions; the host reclaims the arrays the call created. Does not return.
[[noreturn]] void endInterruptedCall() {
#if defined(octave_mex_h)
  // What Octave's own loops do at their interrupt checks (octave_quit): act on
  // the pending signals and throw octave::interrupt_exception, which unwinds to
  // the prompt without an error message and leaves Octave running.
  octave_signal_caught = 0;
  octave_handle_signal();
  throw octave::interrupt_exception();  // the interrupt was already taken in hand
#else
#if defined(MATLAB_MEX_FILE)
  utSetInterruptPending(false);  // this error is MATLAB's answer to the Ctrl-C
#endif
  mexErrMsgTxt("TILEVISTA_Mex: interrupted by the user");
#endif
}

}  // namespace

extern "C" TILEVISTA_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs,
                                             const mxArray* prhs[]) {
  // An interrupt may arrive while the host converts the inputs, before the
  // pursuit polls for it.
  if (interruptPending()) endInterruptedCall();
  if (nrhs < kMinInputs || nrhs > kMaxInputs) mexErrMsgTxt("Wrong number of input arguments");
  for (int i = kDictionaryY; i < nrhs; ++i) {
    // Hosts name a sparse matrix's class after its elements ("double"), so the
    // class test alone lets a sparse dictionary through; mxIsSparse catches it.
    if (mxIsComplex(prhs[i]) || mxIsClass(prhs[i], "sparse") || mxIsSparse(prhs[i]) ||
        mxIsChar(prhs[i]) || !mxIsDouble(prhs[i])) {
      mexErrMsgTxt("Input must be double, real, full,and nonstring");
    }
  }
  const mxArray* blocks = prhs[kBlocks];
  if (mxIsEmpty(blocks)) mexErrMsgTxt("The image matrix is empty!!\n");
  if (!mxIsCell(blocks)) mexErrMsgTxt("Must Enter a Cell Block");

  const std::int64_t Q = static_cast<std::int64_t>(mxGetNumberOfElements(blocks));
  const mwSize d = mxGetM(blocks);
  const mwSize nc = mxGetN(blocks);
  // The block size comes from the second block, or from the only one.
  const mxArray* sizeBlock = mxGetCell(blocks, Q > 1 ? 1 : 0);
  const std::int64_t rows = rowCount(sizeBlock);
  const std::int64_t cols = columnCount(sizeBlock);

  const mxArray* dictionaryY = prhs[kDictionaryY];
  const mxArray* dictionaryX = prhs[kDictionaryX];
  if (rowCount(dictionaryY) != rows || mxIsEmpty(dictionaryY)) {
    mexPrintf("The atoms in the dictionary dictionary Y are of length %i and should be of length "
              "%i\n",
              static_cast<int>(rowCount(dictionaryY)), static_cast<int>(rows));
    mexErrMsgTxt("Error!!\n");
  }
  if (rowCount(dictionaryX) != cols || mxIsEmpty(dictionaryX)) {
    mexPrintf("The atoms in the dictionary dictionary X are of length %i and should be of length "
              "%i\n",
              static_cast<int>(rowCount(dictionaryX)), static_cast<int>(cols));
    mexErrMsgTxt("Error!!\n");
  }
  const std::int64_t Ky = columnCount(dictionaryY);
  const std::int64_t Kx = columnCount(dictionaryX);
  if (static_cast<std::uint32_t>(Ky) + static_cast<std::uint32_t>(Kx) < 3u) {
    mexPrintf("Dictionary Y has %i atoms and dictionary X has %i atoms\n!", static_cast<int>(Ky),
              static_cast<int>(Kx));
    mexErrMsgTxt("One dictionary should have more than 1 atom and the other should have at "
                 "least one!!");
  }

  double tol = kDefaultTolerance;
  if (nrhs > kTolerance && !mxIsEmpty(prhs[kTolerance])) {
    if (mxGetM(prhs[kTolerance]) != 1 || mxGetN(prhs[kTolerance]) != 1) {
      mexErrMsgTxt("The tolerance should be a scalar");
    }
    tol = *mxGetPr(prhs[kTolerance]);
  }
  std::int32_t maxAtoms = 0;
  if (nrhs > kMaxAtoms && !mxIsEmpty(prhs[kMaxAtoms])) {
    if (mxGetM(prhs[kMaxAtoms]) != 1 || mxGetN(prhs[kMaxAtoms]) != 1) {
      mexErrMsgTxt("The maximum number of atoms should be a scalar");
    }
    maxAtoms = toAtomBudget(*mxGetPr(prhs[kMaxAtoms]));
  }
  if (nlhs < kOutputCount) mexErrMsgTxt("Wrong number of output arguments!");

  checkSizes(Q, rows, cols, Ky, Kx);
  checkBlocks(blocks, Q, rows, cols);
  PursuitControl control;
  control.interrupted = interruptPending;
  std::string threadProblem;
  if (!threadsForCall(Q, &control.threads, &threadProblem)) mexErrMsgTxt(threadProblem.c_str());
  const double available = availableBytes();
  if (available >= 0.0) {
    const std::int32_t fit = threadsThatFit(Q, rows, cols, Ky, Kx, control.threads, available);
    if (fit == 0) raiseOutOfMemory(Q, rows, cols, Ky, Kx, 1);
    control.threads = fit;
  }

  plhs[kApproximation] = mxCreateCellMatrix(d, nc);
  for (std::int64_t i = 0; i < Q; ++i) {
    mxSetCell(plhs[kApproximation], static_cast<mwIndex>(i),
              mxCreateDoubleMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols), mxREAL));
  }
  plhs[kTotalAtoms] = mxCreateDoubleMatrix(1, 1, mxREAL);

  // The driver fills the index, dual, coefficient and orthonormal outputs itself,
  // block by block, with arrays of exactly the used size.
  for (int o = kYIndices; o <= kOrthonormal; ++o) plhs[o] = mxCreateCellMatrix(d, nc);

  int result = kPursuitRan;
  bool outOfMemory = false;
  try {
    std::vector<std::int32_t> atomCount(static_cast<std::size_t>(Q), 0);
    result =
        runBlockPursuit(plhs[kApproximation], blocks, mxGetPr(dictionaryY), mxGetPr(dictionaryX),
                        tol, static_cast<std::int32_t>(Q), static_cast<std::int32_t>(cols),
                        static_cast<std::int32_t>(rows), static_cast<std::int32_t>(Kx),
                        static_cast<std::int32_t>(Ky), plhs[kYIndices], plhs[kXIndices],
                        plhs[kDuals], plhs[kCoefficients], plhs[kOrthonormal], maxAtoms,
                        atomCount.data(), plhs[kTotalAtoms], control);
  } catch (const std::bad_alloc&) {
    // Scratch the pursuit could not get. A C++ exception must not cross into
    // the host (MATLAB may not survive it); the pursuit's own buffers are
    // already released, the host reclaims its arrays after the error.
    outOfMemory = true;
  }
  if (outOfMemory) raiseOutOfMemory(Q, rows, cols, Ky, Kx, control.threads);
  if (result == kPursuitInterrupted) endInterruptedCall();
  if (result == kPursuitRejected) mexErrMsgTxt("Error TILEVISTA exited early see message above!!\n");
}
