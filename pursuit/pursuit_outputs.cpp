#include "pursuit_outputs.h"

#include <algorithm>

#include "statistics_clock.h"

namespace {

// The blocks of one part, in index order, and where their results go.
struct OutputPart {
  std::vector<std::int32_t> blocks;
  std::vector<BlockOutputs> outputs;
  double atoms = 0.0;
};

}  // namespace

bool writeOutputs(const PursuitSetup& setup, std::vector<BlockData>& data,
                  const std::vector<BlockState>& states, const PursuitRequest& request,
                  WorkCrew& crew, PursuitSink& sink, BlockValues* values,
                  PursuitStatistics* statistics) {
  StatisticsClock clock;
  const auto Q = static_cast<std::int32_t>(data.size());
  double atoms = 0.0;
  for (const BlockState& block : states) atoms += block.count;
  // Beside the filling, the calling thread lets the part before go and asks
  // for the next one's arrays: the outputs of three parts are then held
  // beside their blocks' storage, not one, and parts of a third of the size
  // keep that overlap where it was. The part before goes on the calling thread
  // so that the workers, which allocate nothing while they fill, never wait
  // for the allocator's lock while it makes arrays.
  const bool beside = crew.size() > 1 && sink.failsByUnwinding();
  const double partAtoms = std::max(atoms / (beside ? 24.0 : 8.0), 1.0);
  const auto release = [&](const OutputPart& part) {
    for (std::int32_t q : part.blocks) data[static_cast<std::size_t>(q)].storage->release();
  };

  std::int32_t next = 0;  // the first block without arrays
  const auto makePart = [&](OutputPart* part) {
    part->blocks.clear();
    part->outputs.clear();
    part->atoms = 0.0;
    for (; next < Q && part->atoms < partAtoms; ++next) {
      if (request.interrupted != nullptr && request.interrupted()) return false;
      const std::int32_t m = states[next].count;
      part->outputs.push_back(sink.blockOutputs(next, m));
      part->blocks.push_back(next);
      part->atoms += m;
    }
    return true;
  };

  std::vector<BlockScratch> scratch(static_cast<std::size_t>(crew.size()));
  OutputPart part, following, filled;
  if (!makePart(&part)) return false;
  statistics->outputSeconds += clock.lap();
  while (!part.blocks.empty()) {
    const WorkCrew::Task fill = [&](std::size_t j, std::int32_t member) {
      BlockScratch& own = scratch[static_cast<std::size_t>(member)];
      if (own.atom.size() == 0) own.atom.allocate(static_cast<std::size_t>(setup.N));
      const auto q = static_cast<std::size_t>(part.blocks[j]);
      finishBlock(setup, data[q], states[q].count, part.outputs[j], request.duals, request.bases,
                  &own);
      if (!beside) data[q].storage->release();
    };
    const std::size_t count = part.blocks.size();
    bool made = true, completed;
    if (beside) {
      double madeSeconds = 0.0;
      completed = crew.runBeside(count, crew.grain(count), fill, [&] {
        StatisticsClock making;
        release(filled);
        made = makePart(&following);
        madeSeconds = making.lap();
      });
      statistics->outputBesideSeconds += madeSeconds;
    } else {
      completed = crew.run(count, crew.grain(count), fill);
    }
    statistics->finishSeconds += clock.lap();
    if (!completed || !made) return false;
    values->releaseBelow(part.blocks.back() + 1);
    if (!beside && !makePart(&following)) return false;
    std::swap(filled, part);
    std::swap(part, following);
    statistics->outputSeconds += clock.lap();
  }
  release(filled);
  return true;
}
