// Scoring of a separable dictionary pair against one block, and synthesis of a
// chosen atom. The whole Ky x Kx score table P = Dy^T F Dx comes from two dgemm
// calls; the order of the two products is picked so that the intermediate matrix
// is the smaller one.
#include "separable_atom.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "aligned_doubles.h"
#include "blas.h"

void selectSeparableAtom(const double* Dy, const double* Dx, const double* F, std::int32_t Ky,
                         std::int32_t Kx, std::int32_t rows, std::int32_t cols, double* bestValue,
                         std::int32_t* yIndex, std::int32_t* xIndex) {
  const char notrans = 'N';
  const char trans = 'T';
  const double one = 1.0;
  const double zero = 0.0;
  const blas_int ky = Ky;
  const blas_int kx = Kx;
  const blas_int m = rows;
  const blas_int n = cols;

  // Sizes in 64 bits: Ky * cols or rows * Kx may exceed 32 bits even when the
  // score table itself fits, and a wrapped product would under-allocate T.
  const std::uint64_t tableSize = std::uint64_t(std::uint32_t(Ky)) * std::uint32_t(Kx);
  const std::uint64_t yFirstSize = std::uint64_t(std::uint32_t(Ky)) * std::uint32_t(cols);
  const std::uint64_t xFirstSize = std::uint64_t(std::uint32_t(rows)) * std::uint32_t(Kx);

  // Scratch of the module's own alignment, left uninitialised: every product
  // that fills it runs with beta = 0.0, under which BLAS writes the destination
  // without reading it.
  AlignedDoubles P(tableSize);
  if (yFirstSize <= xFirstSize) {
    // T = Dy^T F (Ky x cols), then P = T Dx.
    const AlignedDoubles T(yFirstSize);
    dgemm(&trans, &notrans, &ky, &n, &m, &one, Dy, &m, F, &m, &zero, T.get(), &ky);
    dgemm(&notrans, &notrans, &ky, &kx, &n, &one, T.get(), &ky, Dx, &n, &zero, P.get(), &ky);
  } else {
    // T = F Dx (rows x Kx), then P = Dy^T T.
    const AlignedDoubles T(xFirstSize);
    dgemm(&notrans, &notrans, &m, &kx, &n, &one, F, &m, Dx, &n, &zero, T.get(), &m);
    dgemm(&trans, &notrans, &ky, &kx, &m, &one, Dy, &m, T.get(), &m, &zero, P.get(), &ky);
  }

  selectLargestScore(P.get(), Ky, Kx, bestValue, yIndex, xIndex);
}

std::int32_t selectLargestScore(const double* P, std::int32_t Ky, std::int32_t Kx,
                                double* bestValue, std::int32_t* yIndex, std::int32_t* xIndex) {
  // idamax keeps the first of equal absolute maxima, which is the tie-break:
  // lowest linear index, i.e. smallest xIndex, then smallest yIndex.
  const blas_int count = blas_int(std::uint64_t(std::uint32_t(Ky)) * std::uint32_t(Kx));
  const blas_int inc = 1;
  blas_int position = idamax(&count, P, &inc);
  // A BLAS returns 0 only for an empty vector; should one ever answer outside
  // 1..count (e.g. on a table of NaNs), fall back to the first atom instead of
  // reading outside P.
  if (position < 1 || position > count) position = 1;
  const std::int32_t best = std::int32_t(position - 1);
  *bestValue = std::fabs(P[std::size_t(best)]);
  splitAtomIndex(best, Ky, yIndex, xIndex);
  return best;
}

void splitAtomIndex(std::int32_t linearIndex, std::int32_t Ky, std::int32_t* yIndex,
                    std::int32_t* xIndex) {
  // Any two integers below 2^32 divide exactly enough in double precision that
  // floor of the quotient is the integer quotient.
  const double index = double(std::uint32_t(linearIndex));
  const double ky = double(std::uint32_t(Ky));
  const std::int32_t x = std::int32_t(std::floor(index / ky));
  *xIndex = x;
  *yIndex = linearIndex - Ky * x;
}

void synthesizeSeparableAtom(const double* dx, const double* dy, std::int32_t cols,
                             std::int32_t rows, double* atom) {
  const blas_int n = rows;
  const blas_int inc = 1;
  const std::size_t columnLength = rows > 0 ? std::size_t(rows) : 0;
  // Signed counter: a non-positive cols writes nothing.
  for (std::int32_t c = 0; c < cols; ++c) {
    double* column = atom + columnLength * std::size_t(c);
    std::memcpy(column, dy, columnLength * sizeof(double));
    dscal(&n, &dx[c], column, &inc);
  }
}
