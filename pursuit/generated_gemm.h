// Small matrix products made at run time for one shape and the processor the
// module runs on, by libxsmm's code generator. A generated kernel is plain
// machine code in memory this object maps and unmaps itself: no library state
// outlives it, nothing is registered with the process, so a module that holds
// kernels can be unloaded and loaded again at any time. Any number of threads
// may call one kernel at once; it takes no lock and touches only its operands.
//
// Builds without the generator (TILEVISTA_HAVE_LIBXSMM undefined) make no
// kernels, and callers use their BLAS route instead.
#ifndef TILEVISTA_GENERATED_GEMM_H
#define TILEVISTA_GENERATED_GEMM_H

#include <cstddef>
#include <cstdint>
#include <vector>

/// C = A B for one shape, column-major: C is m x n (leading dimension ldc), A
/// m x k (lda), B k x n (ldb). C is written without being read (beta = 0), and
/// only its m x n part. A kernel forms its sums in an order fixed by the shape
/// and the instruction set (fusing multiply and add where the processor can),
/// the same for every call whatever the operands' addresses or the thread.
class GeneratedGemm {
 public:
  /// No kernel.
  GeneratedGemm() = default;
  ~GeneratedGemm();
  GeneratedGemm(GeneratedGemm&& other) noexcept;
  GeneratedGemm& operator=(GeneratedGemm&& other) noexcept;
  GeneratedGemm(const GeneratedGemm&) = delete;
  GeneratedGemm& operator=(const GeneratedGemm&) = delete;

  /// Generates the kernel for the setup. Returns no kernel (false on test)
  /// when the build has no generator, the processor has no instruction set the
  /// generator knows, the shape is not small (m n k above 64^3, or a size or
  /// leading dimension out of range), or the system refuses executable memory.
  /// Thread-safe.
  /// @param m,n,k        sizes (>= 1)
  /// @param lda,ldb,ldc  leading dimensions (>= m, k and m respectively)
  /// @param ceiling      the widest instruction set to use ("sse3", "sse4",
  ///                     "avx", "avx2", "avx512"; see setNames), or null for
  ///                     the processor's own
  static GeneratedGemm generate(std::int32_t m, std::int32_t n, std::int32_t k, std::int32_t lda,
                                std::int32_t ldb, std::int32_t ldc,
                                const char* ceiling = nullptr);

  /// True when this object holds a kernel.
  explicit operator bool() const { return run_ != nullptr; }

  /// Computes C = A B with the shape the kernel was generated for.
  /// @param A  in, m x k, leading dimension lda
  /// @param B  in, k x n, leading dimension ldb
  /// @param C  out, m x n, leading dimension ldc
  void operator()(const double* A, const double* B, double* C) const {
    run_(A, B, C);
    if (wide_) clearUpperHalves();
  }

  /// The generator and the instruction set that kernels are generated for on
  /// this processor, under the ceiling (as for generate): "libxsmm-sse3",
  /// "libxsmm-sse4", "libxsmm-avx", "libxsmm-avx2" or "libxsmm-avx512" (tiny
  /// products may use a narrower set); null when the build has no generator or
  /// the processor has no set it knows.
  static const char* kernelSet(const char* ceiling = nullptr);

  /// The names of the instruction sets a ceiling may give, narrowest first:
  /// "sse3", "sse4", "avx", "avx2", "avx512".
  static std::vector<const char*> setNames();

 private:
  using Kernel = void (*)(const double*, const double*, double*);
  void release();
  // The generated code leaves the upper halves of the vector registers as it
  // used them; the module's own code, built for every x86-64 processor, uses
  // the older SSE encoding, which pays for each instruction while they are
  // not cleared (vzeroupper).
  static void clearUpperHalves();

  Kernel run_ = nullptr;
  bool wide_ = false;  // generated for AVX or wider
  void* code_ = nullptr;  // the mapping that holds the machine code
  std::size_t bytes_ = 0;
};

#endif  // TILEVISTA_GENERATED_GEMM_H
