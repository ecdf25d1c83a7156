// The table of scoring routes: "blas", the BLAS's dgemm; and one route per
// instruction set of the generated kernels, each a ceiling on the set the
// kernels are generated for.
#include <cstring>

#include "generated_gemm.h"
#include "scoring_table.h"
#include "separable_scorer.h"
#include "tilevista/scoring_routes.h"

namespace {

const char* const kBlasRoute = "blas";

// A route of the table: its name, whether a call asking for it gets it, and
// its scorer (null when it cannot be had for these dictionaries).
struct ScoringRoute {
  const char* name;
  bool (*available)(const char* name);
  std::unique_ptr<BlockScorer> (*make)(const char* name, const ScoredDictionaries& d);
};

bool always(const char*) { return true; }

bool kernelsAvailable(const char* name) { return GeneratedGemm::kernelSet(name) != nullptr; }

std::unique_ptr<BlockScorer> blasScorer(const char*, const ScoredDictionaries& d) {
  return std::make_unique<SeparableScorer>(d.Dy, d.Dx, d.Ky, d.Kx, d.rows, d.cols, false);
}

// The generated kernels under the named ceiling ("" for none).
std::unique_ptr<BlockScorer> kernelScorer(const char* name, const ScoredDictionaries& d) {
  auto scorer = std::make_unique<SeparableScorer>(d.Dy, d.Dx, d.Ky, d.Kx, d.rows, d.cols, true,
                                                  *name != '\0' ? name : nullptr);
  if (!scorer->usesKernels()) return nullptr;
  return scorer;
}

std::vector<ScoringRoute> table() {
  std::vector<ScoringRoute> routes{{kBlasRoute, always, blasScorer}};
  for (const char* set : GeneratedGemm::setNames()) {
    routes.push_back({set, kernelsAvailable, kernelScorer});
  }
  return routes;
}

}  // namespace

std::vector<ScoringRouteInfo> scoringRoutes() {
  std::vector<ScoringRouteInfo> infos;
  for (const ScoringRoute& route : table()) infos.push_back({route.name, route.available(route.name)});
  return infos;
}

bool isScoringRoute(const char* name) {
  if (name == nullptr || *name == '\0') return true;
  for (const ScoringRoute& route : table()) {
    if (std::strcmp(route.name, name) == 0) return true;
  }
  return false;
}

std::unique_ptr<BlockScorer> makeScorer(const char* name, const ScoredDictionaries& dictionaries,
                                        std::int32_t threads) {
  if (name == nullptr) name = "";
  std::unique_ptr<BlockScorer> scorer;
  // The best there is: the kernels at the processor's own set.
  if (*name == '\0') scorer = kernelScorer("", dictionaries);
  for (const ScoringRoute& route : table()) {
    if (scorer == nullptr && std::strcmp(route.name, name) == 0) {
      scorer = route.make(name, dictionaries);
    }
  }
  if (scorer == nullptr) scorer = blasScorer(kBlasRoute, dictionaries);
  scorer->shareAmong(threads);
  return scorer;
}
