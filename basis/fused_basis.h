// The fused route of a block's basis work: growing its orthonormal set by one
// atom (a classical Gram-Schmidt sweep, two more sweeps, the norm), scaling the
// new column, growing its dual set, and the residual update with its energy,
// each as one kernel of the module's own instead of a dozen small BLAS calls.
// A kernel set exists per instruction set: explicit AVX-512 and AVX2 (with
// fused multiply-add) code, and a general path in plain C++ that any processor
// runs. Every kernel forms its sums in an order fixed by its sizes and its
// instruction set: lane by lane over the vector in order, the lanes added up in
// a fixed tree, columns taken in order. Results therefore do not depend on
// where the operands lie or on which thread runs them; they do differ, by
// rounding, from the BLAS route's and between instruction sets.
//
// Operands are column-major with leading dimension N (no alignment needed for
// the results; the module's own aligned storage is fastest). No kernel checks
// its arguments.
#ifndef TILEVISTA_FUSED_BASIS_H
#define TILEVISTA_FUSED_BASIS_H

#include <cstdint>

/// The instruction sets with a kernel set, narrowest first.
enum class FusedSet : std::int32_t { kGeneral = 0, kAvx2 = 1, kAvx512 = 2 };

/// One instruction set's kernels.
struct FusedBasis {
  /// The route's name for the statistics: "fused-general", "fused-avx2" or
  /// "fused-avx512".
  const char* route;

  /// Column k of U = a with its components along columns 0..k-1 removed by
  /// one classical Gram-Schmidt sweep and `passes` more (all coefficients of a
  /// sweep taken before any is subtracted; the first sweep's from a itself);
  /// for k = 0 a copy of a.
  /// Returns the column's Euclidean norm (scaled where its square would
  /// overflow or lose its digits to underflow; NaN or +Inf where an element
  /// is). The column is left unnormalised.
  /// @param U  in/out, N x (k+1); columns 0..k-1 read, column k written
  /// @param a  in, N values, the new atom; must not overlap U
  /// @param N  block size, also the leading dimension of U (>= 1)
  /// @param k       columns already held (>= 0)
  /// @param passes  sweeps after the first (>= 0)
  /// Throws std::bad_alloc for k above 256 when its scratch cannot be had.
  double (*orthogonalize)(double* U, const double* a, std::int32_t N, std::int32_t k,
                          std::int32_t passes);

  /// The sum of the squares of x's elements (+Inf where it overflows).
  /// @param x  in, n values
  double (*sumOfSquares)(const double* x, std::int32_t n);

  /// The Euclidean norm of x, as orthogonalize() takes its column's.
  /// @param x  in, n values
  double (*norm)(const double* x, std::int32_t n);

  /// x = factor * x, element by element.
  /// @param x  in/out, n values
  void (*scale)(double* x, double factor, std::int32_t n);

  /// Adds the dual vector of a new atom and corrects the k earlier ones:
  /// s_j = (b_j . a) * (1 / nrm), b_j = b_j - s_j u for j < k, then
  /// b_k = u * (1 / nrm). Then b_j . a_i = (i == j) for all k + 1 atoms.
  /// @param B    in/out, N x (k+1); columns 0..k-1 updated, column k written
  /// @param a    in, N values, the new atom as synthesised
  /// @param u    in, N values, its unit vector (column k of the orthonormal set)
  /// @param nrm  the norm orthogonalize() returned for it (> 0)
  /// @param N    block size, also the leading dimension of B
  /// @param k    dual vectors already held (>= 0)
  /// Throws std::bad_alloc for k above 256 when its scratch cannot be had.
  void (*updateDuals)(double* B, const double* a, const double* u, double nrm, std::int32_t N,
                      std::int32_t k);

  /// Removes from R its component along the unit vector u, the coefficient
  /// taken from F: c = u . F, R = R - c u; returns the sum of squares of the
  /// new R (its energy; +Inf where it overflows).
  /// @param u  in, N values
  /// @param F  in, N values
  /// @param R  in/out, N values
  double (*removeComponent)(const double* u, const double* F, double* R, std::int32_t N);

  /// out_j = A_j . x for the k columns A_j of A.
  /// @param A    in, N x k, leading dimension N
  /// @param x    in, N values
  /// @param out  out, k values
  void (*columnDots)(const double* A, const double* x, std::int32_t N, std::int32_t k,
                     double* out);

  /// The separable atom dy dx^T: column c is dy scaled by dx[c].
  /// @param dy    in, rows values
  /// @param dx    in, cols values
  /// @param atom  out, rows x cols, column-major
  void (*synthesize)(const double* dy, const double* dx, std::int32_t rows, std::int32_t cols,
                     double* atom);

  /// The 0-based position of the entry of largest absolute value of x, the
  /// first of equal ones, with the reference BLAS's idamax's rule for NaN:
  /// NaN entries are passed over, except that a NaN first entry is chosen.
  /// @param x  in, n values (n >= 1)
  std::int32_t (*largestMagnitude)(const double* x, std::int32_t n);
};

/// The kernels of an instruction set; null when this build or processor
/// cannot run them (the general set is always there).
const FusedBasis* fusedBasis(FusedSet set);

#endif  // TILEVISTA_FUSED_BASIS_H
