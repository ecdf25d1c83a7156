// The scorer of one call, made by the route table (scoring_routes.cpp): the
// one place where a route's name, its availability and its constructor meet,
// so that another scorer plugs in there.
#ifndef TILEVISTA_SCORING_TABLE_H
#define TILEVISTA_SCORING_TABLE_H

#include <cstdint>
#include <memory>

#include "block_scorer.h"

/// The dictionaries a call's scorer works with, column-major, in the module's
/// own storage (they must outlive the scorer).
struct ScoredDictionaries {
  const double* Dy = nullptr;  ///< rows x Ky
  const double* Dx = nullptr;  ///< cols x Kx
  std::int32_t rows = 0, cols = 0, Ky = 0, Kx = 0;
};

/// The scorer of the route a call asks for, shared by `threads` threads: the
/// route named, or for "" or null the best there is; a route that cannot be
/// had here (no kernels in this build or on this processor, products too
/// large for them) falls back to BLAS.
/// @param name     in, "" , null or a name of scoringRoutes()
/// @param threads  threads that will score at once (>= 1)
/// @throws std::bad_alloc when no scorer can be made
std::unique_ptr<BlockScorer> makeScorer(const char* name, const ScoredDictionaries& dictionaries,
                                        std::int32_t threads);

#endif  // TILEVISTA_SCORING_TABLE_H
