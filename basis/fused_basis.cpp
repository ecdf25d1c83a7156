// The fused basis kernels of each instruction set: the set's vector operations,
// then the kernels' bodies (fused_basis_kernels.h) compiled for that set alone
// through target attributes, so that the module needs no special build flags
// and picks the set by the processor it runs on.
#include "fused_basis.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define TILEVISTA_FUSED_X86 1
#include <immintrin.h>
#endif

// The general set's sums are its own, in the order written: no contraction of
// a multiply and an add into one rounding. (GCC does not contract in the ISO
// language modes the module is built in.)
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace {

// Scratch for the k coefficients of a sweep or dual update: on the stack for
// the block sizes that matter (k <= N <= 256), from the heap beyond.
class Coefficients {
 public:
  explicit Coefficients(std::int32_t k) {
    if (k > kOnStack) {
      heap_.reset(new double[static_cast<std::size_t>(k)]);
      data_ = heap_.get();
    }
  }
  Coefficients(const Coefficients&) = delete;
  Coefficients& operator=(const Coefficients&) = delete;
  double* get() const { return data_; }

 private:
  static constexpr std::int32_t kOnStack = 256;
  double stack_[kOnStack];
  std::unique_ptr<double[]> heap_;
  double* data_ = stack_;
};

// Sums of squares in this range are taken as they are; outside it (overflow,
// or so small that underflow ate digits) the norm is taken scaled.
constexpr double kSmallestSafeSquares = 0x1p-960;
constexpr double kLargestSafeSquares = 0x1p+1000;

// The norm of x with x scaled by a power of two that brings its largest
// absolute value into [0.5, 1): no overflow, no underflow of what matters.
// Squares added in order; the scaling is exact.
double scaledNorm(const double* x, std::int32_t n) {
  double largest = 0.0;
  for (std::int32_t i = 0; i < n; ++i) {
    const double a = std::fabs(x[i]);
    if (std::isnan(a)) return a;
    if (a > largest) largest = a;
  }
  if (largest == 0.0 || std::isinf(largest)) return largest;
  int exponent = 0;
  std::frexp(largest, &exponent);
  double squares = 0.0;
  for (std::int32_t i = 0; i < n; ++i) {
    const double scaled = std::ldexp(x[i], -exponent);
    squares += scaled * scaled;
  }
  return std::ldexp(std::sqrt(squares), exponent);
}

}  // namespace

// The general set: four lanes in plain C++, multiplies and adds apart.
namespace fused_general {
#define TV_INLINE static inline
#define TV_KERNEL static
constexpr std::int32_t W = 4;
struct V {
  double lane[W];
};
TV_INLINE V vzero() { return V{{0.0, 0.0, 0.0, 0.0}}; }
TV_INLINE V vset(double x) { return V{{x, x, x, x}}; }
TV_INLINE V vload(const double* p, std::int32_t left) {
  V v = vzero();
  for (std::int32_t l = 0; l < W && l < left; ++l) v.lane[l] = p[l];
  return v;
}
TV_INLINE void vstore(double* p, const V& v, std::int32_t left) {
  for (std::int32_t l = 0; l < W && l < left; ++l) p[l] = v.lane[l];
}
TV_INLINE V vfma(const V& a, const V& b, const V& c) {
  V r;
  for (std::int32_t l = 0; l < W; ++l) r.lane[l] = a.lane[l] * b.lane[l] + c.lane[l];
  return r;
}
TV_INLINE V vfnma(const V& a, const V& b, const V& c) {
  V r;
  for (std::int32_t l = 0; l < W; ++l) r.lane[l] = c.lane[l] - a.lane[l] * b.lane[l];
  return r;
}
TV_INLINE V vmul(const V& a, const V& b) {
  V r;
  for (std::int32_t l = 0; l < W; ++l) r.lane[l] = a.lane[l] * b.lane[l];
  return r;
}
// Used only where dot products keep two accumulators (kDotSplit).
[[maybe_unused]] TV_INLINE V vadd(const V& a, const V& b) {
  V r;
  for (std::int32_t l = 0; l < W; ++l) r.lane[l] = a.lane[l] + b.lane[l];
  return r;
}
constexpr bool kDotSplit = false;
// Plain code: bodies for fixed sizes would only grow the library.
constexpr bool kFixedSizes = false;
TV_INLINE double vsum(const V& v) { return (v.lane[0] + v.lane[1]) + (v.lane[2] + v.lane[3]); }
TV_INLINE void vsums(const V* s, double* out) {
  for (std::int32_t l = 0; l < W; ++l) out[l] = vsum(s[l]);
}
// max(|x|, acc) lane by lane, acc kept where x is NaN.
TV_INLINE V vabsmax(const V& x, const V& acc) {
  V r;
  for (std::int32_t l = 0; l < W; ++l) {
    const double a = std::fabs(x.lane[l]);
    r.lane[l] = a > acc.lane[l] ? a : acc.lane[l];
  }
  return r;
}
TV_INLINE double vmax(const V& v) {
  double m = v.lane[0];
  for (std::int32_t l = 1; l < W; ++l) m = v.lane[l] > m ? v.lane[l] : m;
  return m;
}
// The first lane whose absolute value equals best's, or -1.
TV_INLINE std::int32_t vfirstEqual(const V& x, const V& best) {
  for (std::int32_t l = 0; l < W; ++l)
    if (std::fabs(x.lane[l]) == best.lane[0]) return l;
  return -1;
}
#include "fused_basis_kernels.h"
#undef TV_INLINE
#undef TV_KERNEL
}  // namespace fused_general

#if defined(TILEVISTA_FUSED_X86)

// AVX2 with fused multiply-add: four lanes; the tail by masked loads and stores.
namespace fused_avx2 {
#define TV_TARGET __attribute__((target("avx2,fma")))
#define TV_INLINE static inline __attribute__((always_inline)) TV_TARGET
#define TV_KERNEL static TV_TARGET
constexpr std::int32_t W = 4;
using V = __m256d;
TV_INLINE __m256i tailMask(std::int32_t left) {
  return _mm256_cmpgt_epi64(_mm256_set1_epi64x(left), _mm256_setr_epi64x(0, 1, 2, 3));
}
TV_INLINE V vzero() { return _mm256_setzero_pd(); }
TV_INLINE V vset(double x) { return _mm256_set1_pd(x); }
TV_INLINE V vload(const double* p, std::int32_t left) {
  return left >= W ? _mm256_loadu_pd(p) : _mm256_maskload_pd(p, tailMask(left));
}
TV_INLINE void vstore(double* p, V v, std::int32_t left) {
  if (left >= W) {
    _mm256_storeu_pd(p, v);
  } else {
    _mm256_maskstore_pd(p, tailMask(left), v);
  }
}
TV_INLINE V vfma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
TV_INLINE V vfnma(V a, V b, V c) { return _mm256_fnmadd_pd(a, b, c); }
TV_INLINE V vmul(V a, V b) { return _mm256_mul_pd(a, b); }
[[maybe_unused]] TV_INLINE V vadd(V a, V b) { return _mm256_add_pd(a, b); }
// Sixteen registers: one accumulator per column.
constexpr bool kDotSplit = false;
constexpr bool kFixedSizes = true;
// (l0 + l1) + (l2 + l3).
TV_INLINE double vsum(V v) {
  const V pairs = _mm256_add_pd(v, __builtin_shufflevector(v, v, 1, 0, 3, 2));
  return _mm256_add_pd(pairs, __builtin_shufflevector(pairs, pairs, 2, 3, 0, 1))[0];
}
// vsum of s[0..3] into out[0..3], the four taken side by side.
TV_INLINE void vsums(const V* s, double* out) {
  const V p01 = _mm256_add_pd(__builtin_shufflevector(s[0], s[1], 0, 4, 2, 6),
                              __builtin_shufflevector(s[0], s[1], 1, 5, 3, 7));
  const V p23 = _mm256_add_pd(__builtin_shufflevector(s[2], s[3], 0, 4, 2, 6),
                              __builtin_shufflevector(s[2], s[3], 1, 5, 3, 7));
  _mm256_storeu_pd(out, _mm256_add_pd(__builtin_shufflevector(p01, p23, 0, 1, 4, 5),
                                      __builtin_shufflevector(p01, p23, 2, 3, 6, 7)));
}
TV_INLINE V vabs(V x) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }
// maxpd gives its second operand where either is NaN.
TV_INLINE V vabsmax(V x, V acc) { return _mm256_max_pd(vabs(x), acc); }
TV_INLINE double vmax(V v) {
  alignas(32) double lane[W];
  _mm256_store_pd(lane, v);
  double m = lane[0];
  for (std::int32_t l = 1; l < W; ++l) m = lane[l] > m ? lane[l] : m;
  return m;
}
TV_INLINE std::int32_t vfirstEqual(V x, V best) {
  const int mask = _mm256_movemask_pd(_mm256_cmp_pd(vabs(x), best, _CMP_EQ_OQ));
  return mask == 0 ? -1 : __builtin_ctz(static_cast<unsigned>(mask));
}
#include "fused_basis_kernels.h"
#undef TV_TARGET
#undef TV_INLINE
#undef TV_KERNEL
}  // namespace fused_avx2

// AVX-512: eight lanes; the tail by masked loads and stores.
namespace fused_avx512 {
#define TV_TARGET __attribute__((target("avx512f,avx2,fma")))
#define TV_INLINE static inline __attribute__((always_inline)) TV_TARGET
#define TV_KERNEL static TV_TARGET
constexpr std::int32_t W = 8;
using V = __m512d;
// The lanes below `left` (none for left <= 0).
TV_INLINE __mmask8 tailMask(std::int32_t left) {
  return left <= 0 ? 0 : static_cast<__mmask8>((1u << static_cast<unsigned>(left)) - 1u);
}
TV_INLINE V vzero() { return _mm512_setzero_pd(); }
TV_INLINE V vset(double x) { return _mm512_set1_pd(x); }
TV_INLINE V vload(const double* p, std::int32_t left) {
  return left >= W ? _mm512_loadu_pd(p) : _mm512_maskz_loadu_pd(tailMask(left), p);
}
TV_INLINE void vstore(double* p, V v, std::int32_t left) {
  if (left >= W) {
    _mm512_storeu_pd(p, v);
  } else {
    _mm512_mask_storeu_pd(p, tailMask(left), v);
  }
}
TV_INLINE V vfma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
TV_INLINE V vfnma(V a, V b, V c) { return _mm512_fnmadd_pd(a, b, c); }
TV_INLINE V vmul(V a, V b) { return _mm512_mul_pd(a, b); }
TV_INLINE V vadd(V a, V b) { return _mm512_add_pd(a, b); }
// Thirty-two registers: two accumulators per column, which halves the chain
// of dependent multiply-adds.
constexpr bool kDotSplit = true;
constexpr bool kFixedSizes = true;
// ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7)). (Shuffles rather than
// _mm512_extractf64x4_pd and _mm512_max_pd, whose GCC 12 headers warn of an
// uninitialised variable of their own.)
TV_INLINE double vsum(V v) {
  const V pairs = _mm512_add_pd(v, __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6));
  const V quads =
      _mm512_add_pd(pairs, __builtin_shufflevector(pairs, pairs, 2, 3, 0, 1, 6, 7, 4, 5));
  return _mm512_add_pd(quads, __builtin_shufflevector(quads, quads, 4, 5, 6, 7, 0, 1, 2, 3))[0];
}
// Lanes (2i, 2i+1) of s[a] and s[b] added, interleaved: a01 b01 a23 b23 ...
TV_INLINE V vpairs(V a, V b) {
  return _mm512_add_pd(__builtin_shufflevector(a, b, 0, 8, 2, 10, 4, 12, 6, 14),
                       __builtin_shufflevector(a, b, 1, 9, 3, 11, 5, 13, 7, 15));
}
// vsum of s[0..7] into out[0..7], the eight taken side by side.
TV_INLINE void vsums(const V* s, double* out) {
  const V p01 = vpairs(s[0], s[1]), p23 = vpairs(s[2], s[3]);
  const V p45 = vpairs(s[4], s[5]), p67 = vpairs(s[6], s[7]);
  // Quads: a0..a3 of lanes 0-3, then of lanes 4-7; the same for a4..a7.
  const V q0 = _mm512_add_pd(__builtin_shufflevector(p01, p23, 0, 1, 8, 9, 4, 5, 12, 13),
                             __builtin_shufflevector(p01, p23, 2, 3, 10, 11, 6, 7, 14, 15));
  const V q4 = _mm512_add_pd(__builtin_shufflevector(p45, p67, 0, 1, 8, 9, 4, 5, 12, 13),
                             __builtin_shufflevector(p45, p67, 2, 3, 10, 11, 6, 7, 14, 15));
  _mm512_storeu_pd(out,
                   _mm512_add_pd(__builtin_shufflevector(q0, q4, 0, 1, 2, 3, 8, 9, 10, 11),
                                 __builtin_shufflevector(q0, q4, 4, 5, 6, 7, 12, 13, 14, 15)));
}
// |x| where it is above acc (never where x is NaN), else acc.
TV_INLINE V vabsmax(V x, V acc) {
  const V a = _mm512_abs_pd(x);
  return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(a, acc, _CMP_GT_OQ), acc, a);
}
TV_INLINE double vmax(V v) {
  alignas(64) double lane[W];
  _mm512_store_pd(lane, v);
  double m = lane[0];
  for (std::int32_t l = 1; l < W; ++l) m = lane[l] > m ? lane[l] : m;
  return m;
}
TV_INLINE std::int32_t vfirstEqual(V x, V best) {
  const unsigned mask = _mm512_cmp_pd_mask(_mm512_abs_pd(x), best, _CMP_EQ_OQ);
  return mask == 0 ? -1 : __builtin_ctz(mask);
}
#include "fused_basis_kernels.h"
#undef TV_TARGET
#undef TV_INLINE
#undef TV_KERNEL
}  // namespace fused_avx512

#endif  // TILEVISTA_FUSED_X86

namespace {

#define TILEVISTA_FUSED_TABLE(set, name)                                                     \
  FusedBasis {                                                                               \
    name, set::orthogonalize, set::sumOfSquares, set::norm, set::scale, set::updateDuals,    \
        set::removeComponent, set::columnDots, set::synthesize, set::largestMagnitude        \
  }

const FusedBasis kGeneral = TILEVISTA_FUSED_TABLE(fused_general, "fused-general");
#if defined(TILEVISTA_FUSED_X86)
const FusedBasis kAvx2 = TILEVISTA_FUSED_TABLE(fused_avx2, "fused-avx2");
const FusedBasis kAvx512 = TILEVISTA_FUSED_TABLE(fused_avx512, "fused-avx512");
#endif

}  // namespace

const FusedBasis* fusedBasis(FusedSet set) {
  switch (set) {
    case FusedSet::kGeneral:
      return &kGeneral;
#if defined(TILEVISTA_FUSED_X86)
    case FusedSet::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? &kAvx2 : nullptr;
    case FusedSet::kAvx512:
      return __builtin_cpu_supports("avx512f") ? &kAvx512 : nullptr;
#endif
    default:
      return nullptr;
  }
}
