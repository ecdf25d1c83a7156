// The routes by which a pursuit scores its blocks, as a caller names them in
// PursuitRequest::scoring (and the environment variable TILEVISTA_SCORING).
#ifndef TILEVISTA_SCORING_ROUTES_H
#define TILEVISTA_SCORING_ROUTES_H

#include <string>
#include <vector>

/// A route a caller may ask for.
struct ScoringRouteInfo {
  std::string name;  ///< as a caller names it: "blas", or an instruction set ("avx2", ...)
  /// True when a call asking for it takes it on this processor (a kernel set
  /// wider than the processor's still runs, on the processor's own set; a
  /// build or system without kernels scores by BLAS).
  bool available = false;
};

/// Every route a caller may name, in the order messages list them: "blas",
/// then the generated kernels' instruction sets, narrowest first ("sse3",
/// "sse4", "avx", "avx2", "avx512"). Asking for none ("" or null) takes the
/// best there is.
std::vector<ScoringRouteInfo> scoringRoutes();

/// True for "" and the names of scoringRoutes().
bool isScoringRoute(const char* name);

#endif  // TILEVISTA_SCORING_ROUTES_H
