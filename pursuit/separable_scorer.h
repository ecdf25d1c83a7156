// The block scoring of one call: the score table P = Dy^T F Dx of a block F
// against every atom pair, and its largest entry. Made once per call for the
// call's sizes, then used by every thread at once.
//
// Two routes. The kernel route computes both products with kernels generated
// for exactly these sizes (generated_gemm.h), which any number of threads call
// at once at full speed. The BLAS route is selectSeparableAtom: the library's
// dgemm, which in OpenBLAS built with threads takes a process-wide lock in
// every call, so that threads scoring at the same time wait for each other
// (the pursuit then lets one score at a time; see scoring_gate.h). The kernel
// route is taken where it can be had; otherwise, or when asked for, the BLAS
// route. Both take the product order with the smaller intermediate and both
// choose the entry by idamax, so ties go the same way; the kernels' sums may
// round differently from the BLAS's (fused multiply-add). A call's results do
// not depend on its number of threads on either route.
#ifndef TILEVISTA_SEPARABLE_SCORER_H
#define TILEVISTA_SEPARABLE_SCORER_H

#include <cstddef>
#include <cstdint>

#include "aligned_doubles.h"
#include "generated_gemm.h"

class SeparableScorer {
 public:
  /// Prepares the scoring of rows x cols blocks against Dy and Dx: on the
  /// kernel route it generates the two product kernels and keeps Dy transposed
  /// (Ky x rows) in storage of its own. Falls back to the BLAS route when the
  /// kernels cannot be had (a build without the generator, a processor or
  /// system that refuses them, products too large for them) or the copy of Dy
  /// cannot be allocated. Dy and Dx must stay valid while the object is used.
  /// @param Dy         in, rows x Ky, column-major
  /// @param Dx         in, cols x Kx, column-major
  /// @param Ky,Kx      atoms of each dictionary (>= 1)
  /// @param rows,cols  block size (>= 1)
  /// @param kernels    false to take the BLAS route in any case
  /// @param ceiling    the widest instruction set for the kernels ("sse3",
  ///                   "sse4", "avx", "avx2", "avx512"), null for the
  ///                   processor's own
  SeparableScorer(const double* Dy, const double* Dx, std::int32_t Ky, std::int32_t Kx,
                  std::int32_t rows, std::int32_t cols, bool kernels = true,
                  const char* ceiling = nullptr);

  /// True for the routes a caller may ask for by name (PursuitRequest's
  /// scoring): "" (the best there is), "blas", or a kernel instruction set,
  /// "sse3", "sse4", "avx", "avx2" or "avx512".
  static bool isRouteName(const char* name);
  SeparableScorer(const SeparableScorer&) = delete;
  SeparableScorer& operator=(const SeparableScorer&) = delete;

  /// True on the kernel route.
  bool usesKernels() const { return static_cast<bool>(second_); }

  /// The route by name, for the statistics: "blas", or "libxsmm-" and the
  /// kernels' instruction set ("libxsmm-avx2", "libxsmm-avx512", ...).
  const char* route() const { return route_; }

  /// True when threads scoring at the same time slow each other down badly
  /// (the BLAS route with a BLAS whose gemm takes a lock): a pursuit on
  /// several threads then lets one thread score at a time.
  bool contends() const { return contends_; }

  /// Scratch a thread needs for select(), in doubles (0 on the BLAS route).
  std::size_t scratchSize() const { return scratchSize_; }

  /// Scores block F against every atom pair and returns the pair of largest
  /// absolute score; among equal absolute scores the lowest linear index
  /// yIndex + Ky * xIndex wins. Safe to call from several threads at once,
  /// each with scratch of its own.
  /// @param F          in, rows x cols, column-major
  /// @param scratch    scratchSize() doubles, overwritten; 64-byte aligned is
  ///                   fastest (AlignedDoubles). On the kernel route its first
  ///                   Ky x Kx values then hold the score table (column-major).
  /// @param bestValue  out, absolute score of the chosen pair
  /// @param yIndex     out, its 0-based Y atom index
  /// @param xIndex     out, its 0-based X atom index
  void select(const double* F, double* scratch, double* bestValue, std::int32_t* yIndex,
              std::int32_t* xIndex) const;

  /// The kernel route's score table of block F, without the choice, for a
  /// caller that chooses itself. Only on the kernel route (usesKernels()).
  /// @param F        in, rows x cols, column-major
  /// @param scratch  scratchSize() doubles, overwritten
  /// @return Ky x Kx, column-major, within the scratch
  const double* scoreTable(const double* F, double* scratch) const;

 private:
  const double* Dy_;
  const double* Dx_;
  const std::int32_t Ky_, Kx_, rows_, cols_;
  // T = Dy^T F first (then P = T Dx) when its intermediate is the smaller one,
  // else T = F Dx first (then P = Dy^T T).
  bool yFirst_ = true;
  bool contends_ = false;
  const char* route_ = "blas";
  AlignedDoubles DyT_;        // Ky x rows, the kernel route's copy of Dy^T
  GeneratedGemm first_, second_;
  std::size_t intermediateOffset_ = 0;  // where T starts in the scratch, after P
  std::size_t scratchSize_ = 0;
};

#endif  // TILEVISTA_SEPARABLE_SCORER_H
