#include "reference_pursuit.h"

#include <cmath>

namespace reference {
namespace {

struct Candidate {
  double value = 0.0;
  std::size_t y = 0, x = 0;
  bool retired = false;
};

// Best atom by absolute score, first in column-major (y fastest) order on ties.
Candidate score(const std::vector<double>& R, std::size_t rows, std::size_t cols,
                const std::vector<double>& Dy, std::size_t Ky, const std::vector<double>& Dx,
                std::size_t Kx) {
  Candidate best;
  bool first = true;
  for (std::size_t x = 0; x < Kx; ++x) {
    for (std::size_t y = 0; y < Ky; ++y) {
      double s = 0.0;
      for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t r = 0; r < rows; ++r) s += Dy[y * rows + r] * R[c * rows + r] * Dx[x * cols + c];
      if (first || std::fabs(s) > best.value) {
        best.value = std::fabs(s);
        best.y = y;
        best.x = x;
        first = false;
      }
    }
  }
  return best;
}

double dot(const double* a, const double* b, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

}  // namespace

Result pursue(const std::vector<std::vector<double>>& blocks, std::size_t rows,
              std::size_t cols, const std::vector<double>& Dy, std::size_t Ky,
              const std::vector<double>& Dx, std::size_t Kx, double tol, long long budget) {
  const std::size_t Q = blocks.size(), N = rows * cols;
  const std::size_t cap = Ky * Kx < N ? Ky * Kx : N;
  const long long limit = budget != 0 ? budget : static_cast<long long>(cap * Q);

  Result out;
  out.yIndex.resize(Q);
  out.xIndex.resize(Q);
  out.coefficient.resize(Q);
  out.ortho.resize(Q);
  out.dual.resize(Q);
  std::vector<std::vector<double>> residual = blocks;
  std::vector<Candidate> candidate(Q);
  std::vector<double> energy(Q);
  for (std::size_t q = 0; q < Q; ++q) {
    candidate[q] = score(blocks[q], rows, cols, Dy, Ky, Dx, Kx);
    energy[q] = dot(blocks[q].data(), blocks[q].data(), N);
  }

  out.stop = "budget";
  long long added = 0;
  while (added < limit) {
    double w = 0.0;
    long long v = -1;
    for (std::size_t q = 0; q < Q; ++q) {
      if (!candidate[q].retired && candidate[q].value > w) {
        w = candidate[q].value;
        v = static_cast<long long>(q);
      }
    }
    if (v < 0 || w < 1e-10) {
      out.stop = "tol2";
      break;
    }
    Candidate& cv = candidate[static_cast<std::size_t>(v)];
    std::vector<double> atom(N);
    for (std::size_t c = 0; c < cols; ++c)
      for (std::size_t r = 0; r < rows; ++r) atom[c * rows + r] = Dy[cv.y * rows + r] * Dx[cv.x * cols + c];

    std::vector<double>& U = out.ortho[static_cast<std::size_t>(v)];
    std::vector<double>& B = out.dual[static_cast<std::size_t>(v)];
    const std::size_t k = U.size() / N;
    // Three classical Gram-Schmidt sweeps against the block's earlier vectors.
    std::vector<double> u = atom;
    for (int sweep = 0; sweep < 3; ++sweep) {
      std::vector<double> s(k);
      for (std::size_t j = 0; j < k; ++j) s[j] = dot(&U[j * N], u.data(), N);
      for (std::size_t j = 0; j < k; ++j)
        for (std::size_t i = 0; i < N; ++i) u[i] -= s[j] * U[j * N + i];
    }
    const double nrm = std::sqrt(dot(u.data(), u.data(), N));
    if (!(nrm > 1e-7 * std::sqrt(dot(atom.data(), atom.data(), N)))) {
      cv.retired = true;
      continue;
    }
    for (double& e : u) e /= nrm;
    // Dual vectors stay biorthogonal to the atoms: b_j -= (b_j . a / nrm) u.
    for (std::size_t j = 0; j < k; ++j) {
      const double s = dot(&B[j * N], atom.data(), N) / nrm;
      for (std::size_t i = 0; i < N; ++i) B[j * N + i] -= s * u[i];
    }
    U.insert(U.end(), u.begin(), u.end());
    for (double e : u) B.push_back(e / nrm);
    out.yIndex[static_cast<std::size_t>(v)].push_back(static_cast<int>(cv.y) + 1);
    out.xIndex[static_cast<std::size_t>(v)].push_back(static_cast<int>(cv.x) + 1);
    out.totalAtoms += 1.0;

    std::vector<double>& R = residual[static_cast<std::size_t>(v)];
    const double c = dot(u.data(), blocks[static_cast<std::size_t>(v)].data(), N);
    for (std::size_t i = 0; i < N; ++i) R[i] -= c * u[i];
    energy[static_cast<std::size_t>(v)] = dot(R.data(), R.data(), N);
    double total = 0.0;
    for (double e : energy) total += e;
    if (total < tol) {
      out.stop = "tol";
      out.stopEnergy = total;
      break;
    }
    if (k + 1 == cap) {
      cv.retired = true;
    } else {
      cv = score(R, rows, cols, Dy, Ky, Dx, Kx);
    }
    ++added;
  }

  out.approximation.assign(Q, std::vector<double>(N, 0.0));
  for (std::size_t q = 0; q < Q; ++q) {
    const std::size_t m = out.ortho[q].size() / N;
    for (std::size_t j = 0; j < m; ++j)
      out.coefficient[q].push_back(dot(&out.dual[q][j * N], blocks[q].data(), N));
    if (m > 0)
      for (std::size_t i = 0; i < N; ++i) out.approximation[q][i] = blocks[q][i] - residual[q][i];
  }
  return out;
}

}  // namespace reference
