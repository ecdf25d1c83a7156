// One call of the pursuit: the module's own copies of the blocks and
// dictionaries, the threads, the banded pursuit to its stop, and the outputs.
#include "block_pursuit.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "aligned_doubles.h"
#include "banded_pursuit.h"
#include "basis_route.h"
#include "block_values.h"
#include "blas_threads.h"
#include "freed_memory.h"
#include "pursuit_outputs.h"
#include "separable_scorer.h"
#include "work_crew.h"

namespace {

PursuitStatistics lastStatistics;

// What a call frees that goes back to the system when it ends: a call that
// freed less is likely one of many alike, which would take it back from the
// system page by page.
const std::size_t kWorthReturningCall = std::size_t{64} << 20;

}  // namespace

PursuitStatistics lastPursuitStatistics() { return lastStatistics; }

namespace {

PursuitResult pursue(const PursuitRequest& request, PursuitSink& sink) {
  PursuitResult result;
  PursuitStatistics& statistics = result.statistics;

  // The host guarantees that N, Kx * Ky, N * cap and cap * Q fit a 32-bit
  // signed integer; the products are still formed in 64 bits.
  PursuitShape shape;
  shape.rows = request.rows;
  shape.cols = request.cols;
  shape.Ky = request.Ky;
  shape.Kx = request.Kx;
  shape.N = static_cast<std::int32_t>(std::int64_t{request.cols} * request.rows);
  const std::int64_t atomPairs = std::int64_t{request.Kx} * request.Ky;
  shape.cap = static_cast<std::int32_t>(atomPairs < shape.N ? atomPairs : shape.N);
  const std::int32_t Q = request.blockCount;

  // The module's own copies of everything the BLAS reads (aligned_doubles.h):
  // the dictionaries, and per block its values and residual side by side, each
  // starting on a line of its own.
  const std::size_t dySize = std::size_t(request.rows) * std::size_t(request.Ky);
  const std::size_t dxSize = std::size_t(request.cols) * std::size_t(request.Kx);
  AlignedDoubles dictionaries(alignedLength(dySize) + dxSize);
  std::memcpy(dictionaries.get(), request.Dy, dySize * sizeof(double));
  std::memcpy(dictionaries.get() + alignedLength(dySize), request.Dx, dxSize * sizeof(double));
  shape.Dy = dictionaries.get();
  shape.Dx = dictionaries.get() + alignedLength(dySize);
  const char* scoring = request.scoring != nullptr ? request.scoring : "";
  const bool kernels = std::strcmp(scoring, "blas") != 0;
  const SeparableScorer scorer(shape.Dy, shape.Dx, shape.Ky, shape.Kx, shape.rows, shape.cols,
                               kernels, kernels && *scoring != '\0' ? scoring : nullptr);
  shape.scorer = &scorer;
  statistics.scoringRoute = scorer.route();
  shape.basis = chooseBasisRoute(request.basis);
  statistics.basisRoute = basisRouteName(shape.basis);

  BlockValues blockValues(Q, shape.N);
  std::vector<BlockStorage> storage(static_cast<std::size_t>(Q));
  std::vector<BlockData> data(static_cast<std::size_t>(Q));
  for (std::int32_t q = 0; q < Q; ++q) {
    data[q] = BlockData{blockValues.input(q), blockValues.residual(q), &storage[q]};
  }

  SingleThreadedBlas singleThreadedBlas;
  const std::int32_t threads =
      blasAllowsConcurrentCalls() ? std::max<std::int32_t>(1, std::min(request.threads, Q)) : 1;
  std::vector<BlockState> states;
  {
    WorkCrew crew(threads, request.interrupted);
    statistics.threads = crew.size();
    BandedPursuit pursuit(shape, data, request, crew, &statistics,
                          request.curve ? &result.curve : nullptr);
    if (!pursuit.run(request.blocks)) return result;
    result.stop = pursuit.stop();
    result.maxErr = pursuit.maxErr();
    states = pursuit.states();
  }
  for (const BlockState& block : states) result.atoms += static_cast<std::uint64_t>(block.count);
  statistics.atomsKept = result.atoms;
  if (!writeOutputs(shape, data, states, request, statistics.threads, sink, &blockValues,
                    &statistics)) {
    return result;
  }
  result.completed = true;
  lastStatistics = statistics;
  return result;
}

}  // namespace

PursuitResult runBlockPursuit(const PursuitRequest& request, PursuitSink& sink) {
  // Afterwards what the call freed goes back to the system, when it was much:
  // the blocks' copies and residuals and their orthonormal vectors (an
  // estimate; all of it after an exception).
  struct TrimAfterwards {
    std::size_t bytes = SIZE_MAX;
    ~TrimAfterwards() { returnFreedMemory(bytes, kWorthReturningCall); }
  } trim;
  PursuitResult result = pursue(request, sink);
  const double N = static_cast<double>(request.rows) * static_cast<double>(request.cols);
  const double held = sizeof(double) * N * (2.0 * request.blockCount + result.atoms);
  trim.bytes = held < 1e18 ? static_cast<std::size_t>(held) : SIZE_MAX;
  return result;
}
