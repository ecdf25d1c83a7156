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
#include "block_scorer.h"
#include "generated_gemm.h"

class SeparableScorer : public BlockScorer {
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

  SeparableScorer(const SeparableScorer&) = delete;
  SeparableScorer& operator=(const SeparableScorer&) = delete;

  /// True on the kernel route.
  bool usesKernels() const { return static_cast<bool>(second_); }

  const char* route() const override { return route_; }
  /// True on the BLAS route with a BLAS whose gemm takes a lock.
  bool contends() const override { return contends_; }
  /// 0 on the BLAS route.
  std::size_t scratchSize() const override { return scratchSize_; }
  /// On the kernel route the scratch's first Ky x Kx values then hold the
  /// score table (column-major).
  void select(const double* F, double* scratch, double* bestValue, std::int32_t* yIndex,
              std::int32_t* xIndex) const override;

  /// The kernel route's score table; null on the BLAS route, which chooses
  /// in select() alone.
  const double* scoreTable(const double* F, double* scratch) const override;

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
