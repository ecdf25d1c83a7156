// Kernels from libxsmm's code generator alone (libxsmmgen), not from the
// library's dispatch: the dispatch keeps a process-wide registry of about 10 MB,
// registers an exit handler and holds a lock file in /tmp, and its clean-up, run
// when a module that links it statically is unloaded, closes the process's
// standard input (libxsmm 1.17). Here the generator writes a kernel into a
// buffer, the kernel is copied into a mapping of its own that is then made
// executable, and the mapping goes with the object.
#include "generated_gemm.h"

#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#if defined(TILEVISTA_HAVE_LIBXSMM) && defined(__x86_64__) && defined(__unix__)
#define TILEVISTA_GENERATED_GEMM 1
#endif

#if defined(TILEVISTA_GENERATED_GEMM)
#include <sys/mman.h>

#include <memory>
#include <mutex>
#include <new>

#include <immintrin.h>
#include <libxsmm_cpuid.h>
#include <libxsmm_generator.h>
#endif

namespace {

// The instruction sets a ceiling may name, narrowest first; with the
// generator, kSetCodes holds libxsmm's code of each, in the same order.
const char* const kSetNames[] = {"sse3", "sse4", "avx", "avx2", "avx512"};

}  // namespace

#if defined(TILEVISTA_GENERATED_GEMM)
namespace {

const int kSetCodes[] = {LIBXSMM_X86_SSE3, LIBXSMM_X86_SSE4, LIBXSMM_X86_AVX, LIBXSMM_X86_AVX2,
                         LIBXSMM_X86_AVX512};

// The most work a kernel may hold, as m n k: the limit libxsmm itself sets for
// the products it treats as small. Larger products are left to BLAS.
const double kLargestProduct = 64.0 * 64.0 * 64.0;

// Bytes the generator may write for one kernel (its own upper bound).
const std::size_t kCodeBuffer = 131072;

std::once_flag processorChecked;
int processorSet = LIBXSMM_TARGET_ARCH_UNKNOWN;
// The generator is not documented as reentrant: one kernel at a time.
std::mutex generating;

// The instruction set of this processor that the system lets programs use.
// Also silences the generator, which otherwise reports its errors on the
// standard error stream: a module prints nothing of its own.
int processor() {
  std::call_once(processorChecked, [] {
    libxsmm_ninit = 2;
    libxsmm_verbosity = 0;
    processorSet = libxsmm_cpuid_x86(nullptr);
  });
  return processorSet;
}

// The processor's instruction set, no wider than the named ceiling.
int processorUnder(const char* ceiling) {
  const int set = processor();
  if (ceiling == nullptr || *ceiling == '\0') return set;
  // Below "avx512": no wider than the named set. "avx512": the processor's
  // own, whichever AVX-512 it has.
  const std::size_t widest = sizeof kSetNames / sizeof kSetNames[0] - 1;
  for (std::size_t i = 0; i < widest; ++i) {
    if (std::strcmp(ceiling, kSetNames[i]) == 0) return set < kSetCodes[i] ? set : kSetCodes[i];
  }
  return set;
}

// The instruction set for one product: the processor's under the ceiling,
// except that tiny products get AVX2 kernels on AVX-512 processors, as
// libxsmm's own dispatch does (one of the operands fits a few registers).
int instructionSetFor(std::int64_t m, std::int64_t n, std::int64_t k, const char* ceiling) {
  const int set = processorUnder(ceiling);
  if (set > LIBXSMM_X86_AVX2 && (m * k <= 16 || k * n <= 16 || m * n <= 16)) {
    return LIBXSMM_X86_AVX2;
  }
  return set;
}

}  // namespace
#endif

GeneratedGemm::~GeneratedGemm() { release(); }

GeneratedGemm::GeneratedGemm(GeneratedGemm&& other) noexcept
    : run_(std::exchange(other.run_, nullptr)),
      wide_(std::exchange(other.wide_, false)),
      code_(std::exchange(other.code_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)) {}

GeneratedGemm& GeneratedGemm::operator=(GeneratedGemm&& other) noexcept {
  if (this != &other) {
    release();
    run_ = std::exchange(other.run_, nullptr);
    wide_ = std::exchange(other.wide_, false);
    code_ = std::exchange(other.code_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void GeneratedGemm::release() {
#if defined(TILEVISTA_GENERATED_GEMM)
  if (code_ != nullptr) munmap(code_, bytes_);
#endif
  run_ = nullptr;
  wide_ = false;
  code_ = nullptr;
  bytes_ = 0;
}

// Called only after a kernel generated for AVX or wider, so only where the
// processor has the instruction; not inlined, so that no caller holds vector
// values across it.
#if defined(TILEVISTA_GENERATED_GEMM)
__attribute__((target("avx"), noinline)) void GeneratedGemm::clearUpperHalves() {
  _mm256_zeroupper();
}
#else
void GeneratedGemm::clearUpperHalves() {}
#endif

GeneratedGemm GeneratedGemm::generate(std::int32_t m, std::int32_t n, std::int32_t k,
                                      std::int32_t lda, std::int32_t ldb, std::int32_t ldc,
                                      const char* ceiling) {
  GeneratedGemm gemm;
#if defined(TILEVISTA_GENERATED_GEMM)
  if (m < 1 || n < 1 || k < 1 || lda < m || ldb < k || ldc < m) return gemm;
  if (double(m) * double(n) * double(k) > kLargestProduct) return gemm;
  const int set = instructionSetFor(m, n, k, ceiling);
  if (set < LIBXSMM_X86_SSE3) return gemm;

  libxsmm_descriptor_blob blob;
  const libxsmm_gemm_descriptor* descriptor = libxsmm_dgemm_descriptor_init(
      &blob, m, n, k, lda, ldb, ldc, 1.0, 0.0, LIBXSMM_GEMM_FLAG_NONE, LIBXSMM_GEMM_PREFETCH_NONE);
  if (descriptor == nullptr) return gemm;
  std::unique_ptr<unsigned char[]> buffer;
  try {
    buffer.reset(new unsigned char[kCodeBuffer]);
  } catch (const std::bad_alloc&) {
    return gemm;
  }
  libxsmm_generated_code code;
  std::memset(&code, 0, sizeof code);
  code.generated_code = buffer.get();
  code.buffer_size = static_cast<unsigned int>(kCodeBuffer);
  code.code_type = 2;  // machine code, to be copied into executable memory
  code.arch = static_cast<unsigned int>(set);
  {
    std::lock_guard<std::mutex> lock(generating);
    libxsmm_generator_gemm_kernel(&code, descriptor);
  }
  if (code.last_error != 0 || code.code_size == 0 || code.code_size > kCodeBuffer) return gemm;

  const std::size_t bytes = code.code_size;
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return gemm;
  std::memcpy(memory, buffer.get(), bytes);
  // Never writable and executable at once; a system that forbids making
  // written memory executable (a hardened kernel policy) refuses here.
  if (mprotect(memory, bytes, PROT_READ | PROT_EXEC) != 0) {
    munmap(memory, bytes);
    return gemm;
  }
  gemm.code_ = memory;
  gemm.bytes_ = bytes;
  gemm.run_ = reinterpret_cast<Kernel>(memory);
  gemm.wide_ = set >= LIBXSMM_X86_AVX;
#else
  (void)m, (void)n, (void)k, (void)lda, (void)ldb, (void)ldc, (void)ceiling;
#endif
  return gemm;
}

std::vector<const char*> GeneratedGemm::setNames() {
  return std::vector<const char*>(std::begin(kSetNames), std::end(kSetNames));
}

const char* GeneratedGemm::kernelSet(const char* ceiling) {
#if defined(TILEVISTA_GENERATED_GEMM)
  // "libxsmm-" and a set's name, made once.
  static const std::vector<std::string> routes = [] {
    std::vector<std::string> names;
    for (const char* name : kSetNames) names.push_back(std::string("libxsmm-") + name);
    return names;
  }();
  const int set = processorUnder(ceiling);
  for (std::size_t i = routes.size(); i-- > 0;) {
    if (set >= kSetCodes[i]) return routes[i].c_str();
  }
#else
  (void)ceiling;
#endif
  return nullptr;
}
