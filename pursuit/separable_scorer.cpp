#include "separable_scorer.h"

#include <cstring>
#include <new>

#include "blas_threads.h"
#include "separable_atom.h"

SeparableScorer::SeparableScorer(const double* Dy, const double* Dx, std::int32_t Ky,
                                 std::int32_t Kx, std::int32_t rows, std::int32_t cols,
                                 bool kernels, const char* ceiling)
    : Dy_(Dy), Dx_(Dx), Ky_(Ky), Kx_(Kx), rows_(rows), cols_(cols) {
  // The BLAS route's rule, so that both routes do the same products.
  yFirst_ = std::int64_t{Ky} * cols <= std::int64_t{rows} * Kx;
  if (kernels) {
    if (yFirst_) {
      first_ = GeneratedGemm::generate(Ky, cols, rows, Ky, rows, Ky, ceiling);  // T = Dy^T F
      second_ = GeneratedGemm::generate(Ky, Kx, cols, Ky, cols, Ky, ceiling);   // P = T Dx
    } else {
      first_ = GeneratedGemm::generate(rows, Kx, cols, rows, cols, rows, ceiling);  // T = F Dx
      second_ = GeneratedGemm::generate(Ky, Kx, rows, Ky, rows, Ky, ceiling);  // P = Dy^T T
    }
    if (first_ && second_) {
      try {
        // The kernels take no transposed operand: Dy^T is stored as such.
        DyT_ = AlignedDoubles(static_cast<std::size_t>(Ky) * static_cast<std::size_t>(rows));
        for (std::int32_t r = 0; r < rows; ++r)
          for (std::int32_t i = 0; i < Ky; ++i)
            DyT_.get()[i + static_cast<std::size_t>(Ky) * r] =
                Dy[r + static_cast<std::size_t>(rows) * i];
      } catch (const std::bad_alloc&) {
        DyT_ = AlignedDoubles();
      }
    }
    if (!first_ || !second_ || DyT_.get() == nullptr) {
      first_ = GeneratedGemm();
      second_ = GeneratedGemm();
    }
  }
  if (usesKernels()) {
    const std::size_t table = static_cast<std::size_t>(Ky) * static_cast<std::size_t>(Kx);
    const std::size_t intermediate =
        yFirst_ ? static_cast<std::size_t>(Ky) * static_cast<std::size_t>(cols)
                : static_cast<std::size_t>(rows) * static_cast<std::size_t>(Kx);
    intermediateOffset_ = alignedLength(table);
    scratchSize_ = intermediateOffset_ + intermediate;
    route_ = GeneratedGemm::kernelSet(ceiling);
  } else {
    contends_ = blasGemmContends();
  }
}

void SeparableScorer::select(const double* F, double* scratch, double* bestValue,
                             std::int32_t* yIndex, std::int32_t* xIndex) const {
  if (!usesKernels()) {
    selectSeparableAtom(Dy_, Dx_, F, Ky_, Kx_, rows_, cols_, bestValue, yIndex, xIndex);
    return;
  }
  selectLargestScore(scoreTable(F, scratch), Ky_, Kx_, bestValue, yIndex, xIndex);
}

const double* SeparableScorer::scoreTable(const double* F, double* scratch) const {
  if (!usesKernels()) return nullptr;
  double* P = scratch;
  double* T = scratch + intermediateOffset_;
  if (yFirst_) {
    first_(DyT_.get(), F, T);
    second_(T, Dx_, P);
  } else {
    first_(F, Dx_, T);
    second_(DyT_.get(), T, P);
  }
  return P;
}
