// The fused basis kernels' bodies, written once for every instruction set.
// No include guard: fused_basis.cpp includes this file once per set, inside a
// namespace of that set's own, after defining there
//   W                  doubles per vector
//   V                  the vector type
//   TV_INLINE          the attributes of the set's small helpers
//   TV_KERNEL          the attributes of a kernel (the set's target)
//   kDotSplit          whether dot products keep even and odd chunks apart
//   kFixedSizes        whether the common block sizes get bodies of their own
//   vzero, vset, vload, vstore, vfma, vfnma, vmul, vadd, vsum, vsums, vabsmax,
//   vmax, vfirstEqual  the set's vector operations (see fused_basis.cpp); vsums
//                      adds up W vectors at once in vsum's own tree
// and, outside the namespaces, Coefficients (scratch for k coefficients) and
// scaledNorm. Element i of a length-n array lies in chunk i / W, lane i % W;
// vload gives zeros for lanes past the end and vstore leaves them alone, so
// every kernel's order of operations follows from n and W alone.

// out_j = A_j . x for the columns j0 <= j < j0 + C: each column's lanes
// accumulate chunk by chunk in order, the even chunks and the odd ones apart
// where the set has the registers for it (kDotSplit), those two added lane by
// lane, then the lanes add up in the set's fixed tree. The C columns go side
// by side, which changes no column's sums.
template <int C>
TV_INLINE void dotsOfColumns(const double* A, const double* x, std::int32_t N, std::int32_t j0,
                             double* out) {
  const std::size_t n = static_cast<std::size_t>(N);
  const double* a = A + n * static_cast<std::size_t>(j0);
  V s[C], odd[C];
  for (int c = 0; c < C; ++c) s[c] = odd[c] = vzero();
  std::int32_t i = 0;
  if constexpr (kDotSplit) {
    for (; N - i > W; i += 2 * W) {
      const std::int32_t left = N - i;
      const V xe = vload(x + i, left), xo = vload(x + i + W, left - W);
      for (int c = 0; c < C; ++c) {
        s[c] = vfma(vload(a + n * c + i, left), xe, s[c]);
        odd[c] = vfma(vload(a + n * c + i + W, left - W), xo, odd[c]);
      }
    }
  }
  for (; i < N; i += W) {
    const std::int32_t left = N - i;
    const V xi = vload(x + i, left);
    for (int c = 0; c < C; ++c) s[c] = vfma(vload(a + n * c + i, left), xi, s[c]);
  }
  if constexpr (kDotSplit) {
    for (int c = 0; c < C; ++c) s[c] = vadd(s[c], odd[c]);
  }
  if constexpr (C % W == 0) {
    for (int c = 0; c < C; c += W) vsums(s + c, out + j0 + c);
  } else {
    for (int c = 0; c < C; ++c) out[j0 + c] = vsum(s[c]);
  }
}

// out_j = A_j . x for j < k, eight columns at a time.
TV_INLINE void dots(const double* A, const double* x, std::int32_t N, std::int32_t k,
                    double* out) {
  std::int32_t j = 0;
  for (; j + 8 <= k; j += 8) dotsOfColumns<8>(A, x, N, j, out);
  if (j + 4 <= k) {
    dotsOfColumns<4>(A, x, N, j, out);
    j += 4;
  }
  for (; j < k; ++j) dotsOfColumns<1>(A, x, N, j, out);
}

TV_KERNEL void columnDots(const double* A, const double* x, std::int32_t N, std::int32_t k,
                          double* out) {
  dots(A, x, N, k, out);
}

// to = from - sum_j s_j A_j over j < k for the C chunks from element i0 on:
// every element gets its k subtractions in the order of j; the chunks go side
// by side, held in registers. With `squares`, the squares of the results are
// added to it chunk by chunk in order, as sumOfSquares() adds them.
template <int C>
TV_INLINE void subtractFromChunks(const double* A, const double* s, std::int32_t N,
                                  std::int32_t k, std::int32_t i0, const double* from,
                                  double* to, V* squares) {
  const std::size_t n = static_cast<std::size_t>(N);
  V v[C];
  for (int c = 0; c < C; ++c) v[c] = vload(from + i0 + c * W, N - i0 - c * W);
  const double* column = A + i0;
  for (std::int32_t j = 0; j < k; ++j, column += n) {
    const V sj = vset(s[j]);
    for (int c = 0; c < C; ++c) v[c] = vfnma(sj, vload(column + c * W, N - i0 - c * W), v[c]);
  }
  for (int c = 0; c < C; ++c) vstore(to + i0 + c * W, v[c], N - i0 - c * W);
  if (squares == nullptr) return;
  for (int c = 0; c < C; ++c) {
    // Lanes past the end take what vload gives there, zeros.
    const V r = c * W + W <= N - i0 ? v[c] : vload(to + i0 + c * W, N - i0 - c * W);
    *squares = vfma(r, r, *squares);
  }
}

// to = from - sum_j s_j A_j over j < k, eight chunks at a time. from and to
// may be the same array. With `squares`, returns the sum of the squares of
// the result, as sumOfSquares() would; else 0.
TV_INLINE double subtractColumns(const double* A, const double* s, std::int32_t N,
                                 std::int32_t k, const double* from, double* to,
                                 bool squares) {
  V sum = vzero();
  V* acc = squares ? &sum : nullptr;
  std::int32_t i = 0;
  for (; N - i >= 8 * W; i += 8 * W) subtractFromChunks<8>(A, s, N, k, i, from, to, acc);
  if (N - i > 4 * W) {
    subtractFromChunks<8>(A, s, N, k, i, from, to, acc);
  } else if (N - i > 2 * W) {
    subtractFromChunks<4>(A, s, N, k, i, from, to, acc);
  } else if (N - i > W) {
    subtractFromChunks<2>(A, s, N, k, i, from, to, acc);
  } else if (N - i > 0) {
    subtractFromChunks<1>(A, s, N, k, i, from, to, acc);
  }
  return vsum(sum);
}

TV_KERNEL double sumOfSquares(const double* x, std::int32_t N) {
  V acc = vzero();
  for (std::int32_t i = 0; i < N; i += W) {
    const V v = vload(x + i, N - i);
    acc = vfma(v, v, acc);
  }
  return vsum(acc);
}

// The norm of x from the sum of its squares as sumOfSquares() takes it.
TV_INLINE double normFromSquares(const double* x, std::int32_t N, double squares) {
  if (squares > kSmallestSafeSquares && squares < kLargestSafeSquares) return std::sqrt(squares);
  if (std::isnan(squares)) return squares;
  return scaledNorm(x, N);
}

TV_KERNEL double norm(const double* x, std::int32_t N) {
  return normFromSquares(x, N, sumOfSquares(x, N));
}

// to = factor * from, element by element; from and to may be the same array.
TV_KERNEL void scaleInto(const double* from, double factor, std::int32_t N, double* to) {
  const V f = vset(factor);
  for (std::int32_t i = 0; i < N; i += W) {
    const std::int32_t left = N - i;
    vstore(to + i, vmul(vload(from + i, left), f), left);
  }
}

TV_KERNEL void scale(double* x, double factor, std::int32_t N) { scaleInto(x, factor, N, x); }

TV_INLINE double orthogonalizeOf(double* U, const double* a, std::int32_t N, std::int32_t k,
                                 std::int32_t passes) {
  const std::size_t n = static_cast<std::size_t>(N);
  double* v = U + n * static_cast<std::size_t>(k);
  if (k == 0) {
    std::memcpy(v, a, n * sizeof(double));
    return norm(v, N);
  }
  const Coefficients s(k);
  dots(U, a, N, k, s.get());
  // The last sweep adds up the squares of the column as it writes it.
  double squares = subtractColumns(U, s.get(), N, k, a, v, passes <= 0);
  for (std::int32_t pass = 0; pass < passes; ++pass) {
    dots(U, v, N, k, s.get());
    squares = subtractColumns(U, s.get(), N, k, v, v, pass + 1 == passes);
  }
  return normFromSquares(v, N, squares);
}

// b_j = b_j - s_j u for j < k over the C chunks from element i0 on, u's
// chunks held in registers.
template <int C>
TV_INLINE void correctChunks(double* B, const double* u, const double* s, std::int32_t N,
                             std::int32_t k, std::int32_t i0) {
  const std::size_t n = static_cast<std::size_t>(N);
  V uc[C];
  for (int c = 0; c < C; ++c) uc[c] = vload(u + i0 + c * W, N - i0 - c * W);
  double* column = B + i0;
  for (std::int32_t j = 0; j < k; ++j, column += n) {
    const V sj = vset(s[j]);
    for (int c = 0; c < C; ++c) {
      const std::int32_t left = N - i0 - c * W;
      vstore(column + c * W, vfnma(sj, uc[c], vload(column + c * W, left)), left);
    }
  }
}

TV_INLINE void updateDualsOf(double* B, const double* a, const double* u, double nrm,
                             std::int32_t N, std::int32_t k) {
  const double reciprocal = 1.0 / nrm;
  if (k >= 1) {
    const Coefficients s(k);
    dots(B, a, N, k, s.get());
    for (std::int32_t j = 0; j < k; ++j) s.get()[j] *= reciprocal;
    std::int32_t i = 0;
    for (; N - i >= 8 * W; i += 8 * W) correctChunks<8>(B, u, s.get(), N, k, i);
    if (N - i > 4 * W) {
      correctChunks<8>(B, u, s.get(), N, k, i);
    } else if (N - i > 2 * W) {
      correctChunks<4>(B, u, s.get(), N, k, i);
    } else if (N - i > 0) {
      correctChunks<2>(B, u, s.get(), N, k, i);
    }
  }
  scaleInto(u, reciprocal, N, B + static_cast<std::size_t>(N) * static_cast<std::size_t>(k));
}

// The block sizes that matter most (4 x 4, 8 x 8, 16 x 16) get bodies of
// their own where the set is explicit vector code (kFixedSizes), compiled
// with N known: the same operations in the same order, without the loop and
// tail tests a general N needs.
TV_KERNEL double orthogonalize(double* U, const double* a, std::int32_t N, std::int32_t k,
                               std::int32_t passes) {
  if constexpr (kFixedSizes) {
    switch (N) {
      case 16: return orthogonalizeOf(U, a, 16, k, passes);
      case 64: return orthogonalizeOf(U, a, 64, k, passes);
      case 256: return orthogonalizeOf(U, a, 256, k, passes);
      default: break;
    }
  }
  return orthogonalizeOf(U, a, N, k, passes);
}

TV_KERNEL void updateDuals(double* B, const double* a, const double* u, double nrm,
                           std::int32_t N, std::int32_t k) {
  if constexpr (kFixedSizes) {
    switch (N) {
      case 16: return updateDualsOf(B, a, u, nrm, 16, k);
      case 64: return updateDualsOf(B, a, u, nrm, 64, k);
      case 256: return updateDualsOf(B, a, u, nrm, 256, k);
      default: break;
    }
  }
  updateDualsOf(B, a, u, nrm, N, k);
}

TV_KERNEL double removeComponent(const double* u, const double* F, double* R, std::int32_t N) {
  V dot = vzero();
  for (std::int32_t i = 0; i < N; i += W) {
    const std::int32_t left = N - i;
    dot = vfma(vload(u + i, left), vload(F + i, left), dot);
  }
  const V c = vset(vsum(dot));
  V energy = vzero();
  for (std::int32_t i = 0; i < N; i += W) {
    const std::int32_t left = N - i;
    V r = vfnma(c, vload(u + i, left), vload(R + i, left));
    vstore(R + i, r, left);
    // Lanes past the end hold 0 - c * 0, which is NaN for an infinite c: the
    // energy takes the stored lanes alone.
    if (left < W) r = vload(R + i, left);
    energy = vfma(r, r, energy);
  }
  return vsum(energy);
}

TV_KERNEL std::int32_t largestMagnitude(const double* x, std::int32_t n) {
  if (std::isnan(x[0])) return 0;
  // The largest absolute value of the non-NaN entries (at least |x[0]|), in
  // four running maxima (the order of a maximum does not matter) ...
  V l0 = vzero(), l1 = vzero(), l2 = vzero(), l3 = vzero();
  std::int32_t i = 0;
  for (; i + 4 * W <= n; i += 4 * W) {
    l0 = vabsmax(vload(x + i, W), l0);
    l1 = vabsmax(vload(x + i + W, W), l1);
    l2 = vabsmax(vload(x + i + 2 * W, W), l2);
    l3 = vabsmax(vload(x + i + 3 * W, W), l3);
  }
  for (; i < n; i += W) l0 = vabsmax(vload(x + i, n - i), l0);
  const V best = vset(vmax(vabsmax(vabsmax(l0, l1), vabsmax(l2, l3))));
  // ... and the first entry that has it.
  for (i = 0; i < n; i += W) {
    const std::int32_t lane = vfirstEqual(vload(x + i, n - i), best);
    if (lane >= 0) return i + lane;
  }
  return 0;
}

// atom = dy dx^T: column c is dy times dx[c], one rounding per element, as
// synthesizeSeparableAtom's dscal makes it.
TV_KERNEL void synthesize(const double* dy, const double* dx, std::int32_t rows,
                          std::int32_t cols, double* atom) {
  const std::size_t r = static_cast<std::size_t>(rows);
  for (std::int32_t c = 0; c < cols; ++c) {
    scaleInto(dy, dx[c], rows, atom + r * static_cast<std::size_t>(c));
  }
}
