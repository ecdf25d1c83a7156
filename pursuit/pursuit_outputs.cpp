#include "pursuit_outputs.h"

#include <algorithm>

#include "freed_memory.h"
#include "work_crew.h"

namespace {

// Storage freed by a part that goes back to the system before the next part's
// outputs are made; less stays with the allocator, which hands it out again.
const std::size_t kWorthReturningPart = std::size_t{16} << 20;

}  // namespace

bool writeOutputs(const PursuitShape& shape, std::vector<BlockData>& data,
                  const std::vector<BlockState>& states, const PursuitRequest& request,
                  std::int32_t threads, PursuitSink& sink, BlockValues* values,
                  PursuitStatistics* statistics) {
  StatisticsClock clock;
  const auto Q = static_cast<std::int32_t>(data.size());
  double atoms = 0.0;
  for (const BlockState& block : states) atoms += block.count;
  const double partAtoms = std::max(atoms / 8.0, 1.0);

  std::vector<std::int32_t> part;
  std::vector<BlockOutputs> outputs;
  double freed = 0.0;  // bytes of the blocks' storage freed by the part before
  for (std::int32_t t = 0; t < Q;) {
    // The storage the blocks of the part before freed goes back before the
    // host makes this part's arrays, which it would not place in it.
    returnFreedMemory(static_cast<std::size_t>(freed), kWorthReturningPart);
    part.clear();
    outputs.clear();
    double held = 0.0;
    for (; t < Q && held < partAtoms; ++t) {
      if (request.interrupted != nullptr && request.interrupted()) return false;
      const std::int32_t m = states[t].count;
      outputs.push_back(sink.blockOutputs(t, m));
      part.push_back(t);
      held += m;
    }
    freed = held * sizeof(double) * (static_cast<double>(shape.N) + 3.0);
    statistics->outputSeconds += clock.lap();
    WorkCrew crew(std::min<std::int32_t>(threads, static_cast<std::int32_t>(part.size())),
                  request.interrupted);
    std::vector<BlockScratch> scratch(static_cast<std::size_t>(crew.size()));
    const bool completed =
        crew.run(part.size(), crew.grain(part.size()), [&](std::size_t j, std::int32_t member) {
          BlockScratch& own = scratch[static_cast<std::size_t>(member)];
          if (own.atom.size() == 0) own.atom.allocate(static_cast<std::size_t>(shape.N));
          const auto q = static_cast<std::size_t>(part[j]);
          finishBlock(shape, data[q], states[q].count, outputs[j], request.duals, request.bases,
                      &own);
        });
    statistics->finishSeconds += clock.lap();
    if (!completed) return false;
    values->releaseBelow(t);
  }
  return true;
}
