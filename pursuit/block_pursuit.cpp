// One call of the pursuit: the module's own copies of the blocks and
// dictionaries, one crew of threads, the banded pursuit to its stop, and the
// outputs.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "aligned_doubles.h"
#include "banded_pursuit.h"
#include "basis_route.h"
#include "blas_threads.h"
#include "block_values.h"
#include "pursuit_outputs.h"
#include "scoring_table.h"
#include "tilevista/pursuit.h"
#include "tilevista/threads.h"
#include "work_crew.h"

namespace {

// The call's sizes, its capacity per block and the dictionaries' copies.
PursuitSetup setupFor(const PursuitRequest& request, AlignedDoubles* dictionaries) {
  // The host guarantees that N, Kx * Ky, N * cap and cap * Q fit a 32-bit
  // signed integer; the products are still formed in 64 bits.
  PursuitSetup setup;
  setup.rows = request.rows;
  setup.cols = request.cols;
  setup.Ky = request.Ky;
  setup.Kx = request.Kx;
  setup.N = static_cast<std::int32_t>(std::int64_t{request.cols} * request.rows);
  const std::int64_t atomPairs = std::int64_t{request.Kx} * request.Ky;
  setup.cap = static_cast<std::int32_t>(atomPairs < setup.N ? atomPairs : setup.N);
  // The module's own copies of everything the BLAS reads (aligned_doubles.h).
  const std::size_t dySize = std::size_t(request.rows) * std::size_t(request.Ky);
  const std::size_t dxSize = std::size_t(request.cols) * std::size_t(request.Kx);
  dictionaries->allocate(alignedLength(dySize) + dxSize);
  std::memcpy(dictionaries->get(), request.Dy, dySize * sizeof(double));
  std::memcpy(dictionaries->get() + alignedLength(dySize), request.Dx, dxSize * sizeof(double));
  setup.Dy = dictionaries->get();
  setup.Dx = dictionaries->get() + alignedLength(dySize);
  return setup;
}

}  // namespace

PursuitResult runBlockPursuit(const PursuitRequest& request, PursuitSink& sink) {
  PursuitResult result;
  PursuitStatistics& statistics = result.statistics;
  AlignedDoubles dictionaries;
  PursuitSetup setup = setupFor(request, &dictionaries);
  const std::int32_t Q = request.blockCount;

  // The threads the host planned, held to the rule (threads.h) in case a
  // request asks for more than it allows; one crew for the whole call.
  SingleThreadedBlas singleThreadedBlas;
  WorkCrew crew(std::min(request.threads, threadsForBlocks(Q, request.threads)),
                request.interrupted);
  statistics.threads = crew.size();
  const auto scorer = makeScorer(request.scoring,
                                 ScoredDictionaries{setup.Dy, setup.Dx, setup.rows, setup.cols,
                                                    setup.Ky, setup.Kx},
                                 crew.size());
  setup.scorer = scorer.get();
  statistics.scoringRoute = scorer->route();
  setup.basis = chooseBasisRoute(request.basis);
  statistics.basisRoute = basisRouteName(setup.basis);

  // Per block its values and residual side by side, each on a line of its own.
  BlockValues blockValues(Q, setup.N);
  std::vector<BlockStorage> storage(static_cast<std::size_t>(Q));
  std::vector<BlockData> data(static_cast<std::size_t>(Q));
  for (std::int32_t q = 0; q < Q; ++q) {
    data[q] = BlockData{blockValues.input(q), blockValues.residual(q), &storage[q]};
  }

  std::vector<BlockState> states;
  {
    BandedPursuit pursuit(setup, data, request, crew, &statistics,
                          request.curve ? &result.curve : nullptr);
    if (!pursuit.run(request.blocks)) return result;
    result.stop = pursuit.stop();
    result.residualEnergy = pursuit.residualEnergy();
    states = pursuit.states();
  }
  for (const BlockState& block : states) result.atoms += static_cast<std::uint64_t>(block.count);
  statistics.atomsKept = result.atoms;
  if (!writeOutputs(setup, data, states, request, crew, sink, &blockValues, &statistics)) {
    return result;
  }
  result.completed = true;
  return result;
}
