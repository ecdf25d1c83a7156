// Per-atom cost of the pursuit's block arithmetic: scoring a block against the
// whole dictionary pair, growing its orthonormal set (projection, two
// re-orthogonalisation sweeps, normalisation) and growing its dual set, and the
// whole step those make for one atom. Measured for 8 x 8 and 16 x 16 blocks with
// twice-redundant cosine dictionaries (16 + 16 and 32 + 32 atoms) at several
// numbers k of atoms already held by the block. And the block scoring as the
// pursuit does it, through a call's scorer on each of its routes, on one thread
// and on two threads at once. And the fused route's orthogonalisation and dual
// update (basis/fused_basis.h) on the same block states as the BLAS ones.
//
// The same source is linked against each BLAS to compare (bench/CMakeLists.txt).
// The BLAS runs on one thread per caller, as in the module.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "basis_route.h"
#include "biorthogonal.h"
#include "blas.h"
#include "blas_threads.h"
#include "cosine_dictionary.h"
#include "generated_gemm.h"
#include "orthogonalize.h"
#include "separable_atom.h"
#include "separable_scorer.h"

namespace {

// A block of natural-image-like content: a smooth ramp plus deterministic
// pseudo-random texture, so that the pursuit keeps finding new directions.
std::vector<double> sampleBlock(std::int32_t rows, std::int32_t cols) {
  std::vector<double> F(std::size_t(rows) * std::size_t(cols));
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  for (std::int32_t c = 0; c < cols; ++c) {
    for (std::int32_t r = 0; r < rows; ++r) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      const double noise = double(state >> 11) / double(1ull << 53) - 0.5;
      F[std::size_t(c) * std::size_t(rows) + std::size_t(r)] = 100.0 + 3.0 * r + 2.0 * c + 40.0 * noise;
    }
  }
  return F;
}

// One block in the state the driver leaves it after k atoms: k orthonormal
// vectors U, their dual vectors B, the residual R, and the next atom chosen by
// the pursuit (synthesised in `atom`). Built with the kernels under test, in
// the driver's order.
struct BlockState {
  std::int32_t rows, cols, Ky, Kx, N, k;
  std::vector<double> Dy, Dx, F, R, U, B, atom;
  std::int32_t nextY = 0, nextX = 0;
  double energy = 0.0;  // squared norm of R after the last addAtom

  BlockState(std::int32_t side, std::int32_t atomsPerDirection, std::int32_t held)
      : rows(side), cols(side), Ky(atomsPerDirection), Kx(atomsPerDirection), N(side * side),
        k(held) {
    Dy = cosineDictionary(rows, Ky);
    Dx = cosineDictionary(cols, Kx);
    F = sampleBlock(rows, cols);
    R = F;
    U.assign(std::size_t(N) * std::size_t(k + 1), 0.0);
    B.assign(std::size_t(N) * std::size_t(k + 1), 0.0);
    atom.assign(std::size_t(N), 0.0);
    for (std::int32_t j = 0; j <= k; ++j) {
      double value = 0.0;
      std::int32_t y = 0, x = 0;
      selectSeparableAtom(Dy.data(), Dx.data(), R.data(), Ky, Kx, rows, cols, &value, &y, &x);
      nextY = y;
      nextX = x;
      synthesize(atom.data());
      if (j == k) break;
      const double nrm = addAtom(j);
      // Atoms have unit norm, so this is the driver's relative tol1 test.
      if (!(nrm > 1e-7)) throw std::runtime_error("dependent atom while building the state");
    }
  }

  void synthesize(double* out) const {
    synthesizeSeparableAtom(&Dx[std::size_t(nextX) * std::size_t(cols)],
                            &Dy[std::size_t(nextY) * std::size_t(rows)], cols, rows, out);
  }

  // Orthogonalises `atom` into column j of U and normalises it; returns the norm
  // before normalisation.
  double orthogonalize(std::int32_t j) {
    double* u = &U[std::size_t(j) * std::size_t(N)];
    if (j == 0) {
      std::memcpy(u, atom.data(), std::size_t(N) * sizeof(double));
    } else {
      projectOutBasis(U.data(), atom.data(), N, j);
      reorthogonalize(U.data(), N, j, 2);
    }
    const blas_int n = N, one = 1;
    const double nrm = dnrm2(&n, u, &one);
    const double reciprocal = 1.0 / nrm;
    dscal(&n, &reciprocal, u, &one);
    return nrm;
  }

  // The driver's per-atom block work after the choice of atom: orthonormal and
  // dual columns j, coefficient from F, residual update and residual energy.
  double addAtom(std::int32_t j) {
    const double nrm = orthogonalize(j);
    double* u = &U[std::size_t(j) * std::size_t(N)];
    updateBiorthogonalSet(B.data(), atom.data(), u, nrm, N, j);
    const blas_int n = N, one = 1;
    const double c = -ddot(&n, u, &one, F.data(), &one);
    daxpy(&n, &c, u, &one, R.data(), &one);
    const double r = dnrm2(&n, R.data(), &one);
    energy = r * r;
    return nrm;
  }
};

// Arguments: block side, dictionary atoms per direction, atoms held k.
void blockArguments(benchmark::internal::Benchmark* b) {
  for (int k : {1, 8, 16, 32}) b->Args({8, 16, k});
  for (int k : {1, 16, 64, 128}) b->Args({16, 32, k});
  b->ArgNames({"side", "K", "k"});
}

// Scoring a block against the whole dictionary pair (independent of k).
void BM_Select(benchmark::State& st) {
  BlockState s(std::int32_t(st.range(0)), std::int32_t(st.range(1)), 0);
  double value = 0.0;
  std::int32_t y = 0, x = 0;
  for (auto _ : st) {
    selectSeparableAtom(s.Dy.data(), s.Dx.data(), s.R.data(), s.Ky, s.Kx, s.rows, s.cols, &value,
                        &y, &x);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_Select)->Args({8, 16})->Args({16, 32})->ArgNames({"side", "K"});

// Scoring a block as the pursuit does: through the call's scorer, on the
// kernel route (kernels:1, where the build has it; the label names the route
// taken) or the BLAS route (kernels:0), the block and the scratch 64-byte
// aligned. With threads:2 each of two threads scores its own block at the same
// time; the time reported is then per call of both threads together (the
// aggregate rate), half the time one call takes while the other thread scores.
void BM_Score(benchmark::State& st) {
  const BlockState s(std::int32_t(st.range(0)), std::int32_t(st.range(1)), 0);
  const SeparableScorer scorer(s.Dy.data(), s.Dx.data(), s.Ky, s.Kx, s.rows, s.cols,
                               st.range(2) != 0);
  AlignedDoubles R(s.R.size()), scratch(scorer.scratchSize());
  std::copy(s.R.begin(), s.R.end(), R.get());
  double value = 0.0;
  std::int32_t y = 0, x = 0;
  for (auto _ : st) {
    scorer.select(R.get(), scratch.get(), &value, &y, &x);
    benchmark::DoNotOptimize(value);
  }
  st.SetLabel(scorer.route());
}
BENCHMARK(BM_Score)
    ->ArgsProduct({{8}, {16}, {1, 0}})
    ->ArgsProduct({{16}, {16, 32}, {1, 0}})
    ->ArgNames({"side", "K", "kernels"})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// The two products of the scoring alone, without the choice: the kernels the
// scorer generates for an 8 x 8 or 16 x 16 block (T = Dy^T F, then P = T Dx),
// called as it calls them. Skipped where the build or processor has none.
void BM_ScoreProducts(benchmark::State& st) {
  const BlockState s(std::int32_t(st.range(0)), std::int32_t(st.range(1)), 0);
  const GeneratedGemm first = GeneratedGemm::generate(s.Ky, s.cols, s.rows, s.Ky, s.rows, s.Ky);
  const GeneratedGemm second = GeneratedGemm::generate(s.Ky, s.Kx, s.cols, s.Ky, s.cols, s.Ky);
  if (!first || !second) {
    st.SkipWithError("no generated kernels here");
    return;
  }
  AlignedDoubles DyT(std::size_t(s.Ky) * std::size_t(s.rows)), F(s.R.size()),
      Dx(s.Dx.size()), T(std::size_t(s.Ky) * std::size_t(s.cols)),
      P(std::size_t(s.Ky) * std::size_t(s.Kx));
  for (std::int32_t i = 0; i < s.rows; ++i)
    for (std::int32_t j = 0; j < s.Ky; ++j)
      DyT.get()[j + std::size_t(i) * std::size_t(s.Ky)] = s.Dy[i + std::size_t(j) * std::size_t(s.rows)];
  std::copy(s.R.begin(), s.R.end(), F.get());
  std::copy(s.Dx.begin(), s.Dx.end(), Dx.get());
  for (auto _ : st) {
    first(DyT.get(), F.get(), T.get());
    second(T.get(), Dx.get(), P.get());
    benchmark::DoNotOptimize(P.get()[0]);
    benchmark::ClobberMemory();
  }
  st.SetLabel(GeneratedGemm::kernelSet());
}
BENCHMARK(BM_ScoreProducts)
    ->ArgsProduct({{8, 16}, {16}})
    ->ArgNames({"side", "K"})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// projectOutBasis + reorthogonalize(.., 2) + normalisation of column k. Columns
// 0..k-1 are only read, so repeating the step measures the same work.
void BM_Orthogonalize(benchmark::State& st) {
  BlockState s(std::int32_t(st.range(0)), std::int32_t(st.range(1)), std::int32_t(st.range(2)));
  for (auto _ : st) benchmark::DoNotOptimize(s.orthogonalize(s.k));
}
BENCHMARK(BM_Orthogonalize)->Apply(blockArguments);

// updateBiorthogonalSet for atom k. The first repetition makes the k earlier
// dual vectors orthogonal to the atom; later ones subtract rounding-sized
// multiples, the same arithmetic on values that stay put.
void BM_DualUpdate(benchmark::State& st) {
  BlockState s(std::int32_t(st.range(0)), std::int32_t(st.range(1)), std::int32_t(st.range(2)));
  const double nrm = s.orthogonalize(s.k);
  const double* u = &s.U[std::size_t(s.k) * std::size_t(s.N)];
  for (auto _ : st) {
    updateBiorthogonalSet(s.B.data(), s.atom.data(), u, nrm, s.N, s.k);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DualUpdate)->Apply(blockArguments);

// The fused route's kernels (basis/fused_basis.h) on the same block state, on
// the instruction set a call takes by default (TILEVISTA_BASIS picks another:
// "fused-general", "fused-avx2", ...); the label names it. Skipped where the
// name stands for the BLAS route.
const FusedBasis* fusedKernels(benchmark::State& st) {
  const char* name = std::getenv("TILEVISTA_BASIS");
  const FusedBasis* kernels = chooseBasisRoute(name != nullptr && *name != '\0' ? name : "fused");
  if (kernels == nullptr) {
    st.SkipWithError("TILEVISTA_BASIS names the BLAS route");
    return nullptr;
  }
  st.SetLabel(kernels->route);
  return kernels;
}

// Orthogonalisation as BM_Orthogonalize counts it (three sweeps, the norm and
// the scaling), by the fused kernels, into storage of the module's alignment.
void BM_FusedOrthogonalize(benchmark::State& st) {
  BlockState s(std::int32_t(st.range(0)), std::int32_t(st.range(1)), std::int32_t(st.range(2)));
  const FusedBasis* kernels = fusedKernels(st);
  if (kernels == nullptr) return;
  AlignedDoubles U(s.U.size()), atom(s.atom.size());
  std::copy(s.U.begin(), s.U.end(), U.get());
  std::copy(s.atom.begin(), s.atom.end(), atom.get());
  double* u = U.get() + std::size_t(s.k) * std::size_t(s.N);
  for (auto _ : st) {
    const double nrm = kernels->orthogonalize(U.get(), atom.get(), s.N, s.k, 2);
    kernels->scale(u, 1.0 / nrm, s.N);
    benchmark::DoNotOptimize(nrm);
  }
}
BENCHMARK(BM_FusedOrthogonalize)->Apply(blockArguments);

// The dual update as BM_DualUpdate counts it, by the fused kernels.
void BM_FusedDualUpdate(benchmark::State& st) {
  BlockState s(std::int32_t(st.range(0)), std::int32_t(st.range(1)), std::int32_t(st.range(2)));
  const FusedBasis* kernels = fusedKernels(st);
  if (kernels == nullptr) return;
  const double nrm = s.orthogonalize(s.k);
  AlignedDoubles B(s.B.size()), atom(s.atom.size()), u(std::size_t(s.N));
  std::copy(s.B.begin(), s.B.end(), B.get());
  std::copy(s.atom.begin(), s.atom.end(), atom.get());
  std::copy_n(&s.U[std::size_t(s.k) * std::size_t(s.N)], s.N, u.get());
  for (auto _ : st) {
    kernels->updateDuals(B.get(), atom.get(), u.get(), nrm, s.N, s.k);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FusedDualUpdate)->Apply(blockArguments);

// The whole block arithmetic of one atom at k atoms held: synthesis,
// orthogonalisation, dual update, coefficient, residual update and energy, and
// the rescoring of the block. The driver makes the dual updates of a block after
// the pursuit, one after the other on warm data, and adds the choice of block
// and the stop test.
void BM_PursuitStep(benchmark::State& st) {
  BlockState s(std::int32_t(st.range(0)), std::int32_t(st.range(1)), std::int32_t(st.range(2)));
  double value = 0.0;
  std::int32_t y = 0, x = 0;
  for (auto _ : st) {
    s.synthesize(s.atom.data());
    benchmark::DoNotOptimize(s.addAtom(s.k));
    benchmark::DoNotOptimize(s.energy);
    selectSeparableAtom(s.Dy.data(), s.Dx.data(), s.R.data(), s.Ky, s.Kx, s.rows, s.cols, &value,
                        &y, &x);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_PursuitStep)->Apply(blockArguments);

}  // namespace

int main(int argc, char** argv) {
  SingleThreadedBlas singleThreadedBlas;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
