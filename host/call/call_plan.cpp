#include "call_plan.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tilevista/basis_routes.h"
#include "tilevista/footprint.h"
#include "tilevista/scoring_routes.h"
#include "tilevista/threads.h"

namespace {

// Writes an amount of memory in bytes as "16.0 GB", "512.0 MB" or "31 kB".
std::string formatBytes(double bytes) {
  const double kB = 1024.0, MB = kB * 1024.0, GB = MB * 1024.0;
  char text[32];
  if (bytes >= GB) {
    std::snprintf(text, sizeof text, "%.1f GB", bytes / GB);
  } else if (bytes >= MB) {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / MB);
  } else {
    std::snprintf(text, sizeof text, "%.0f kB", std::ceil(bytes / kB));
  }
  return text;
}

PursuitSizes sizesOf(const CheckedCall& call) {
  PursuitSizes sizes;
  sizes.blockCount = call.blockCount;
  sizes.rows = call.rows;
  sizes.cols = call.cols;
  sizes.Ky = call.Ky;
  sizes.Kx = call.Kx;
  return sizes;
}

// "a, b or c": the routes a caller may name, for the message that lists them.
std::string routeList() {
  const std::vector<ScoringRouteInfo> routes = scoringRoutes();
  std::string list;
  for (std::size_t i = 0; i < routes.size(); ++i) {
    if (i > 0) list += i + 1 == routes.size() ? " or " : ", ";
    list += routes[i].name;
  }
  return list;
}

}  // namespace

Rejection outOfMemory(const CheckedCall& call, std::int32_t threads) {
  const PursuitFootprint footprint = pursuitFootprint(sizesOf(call));
  const double N = static_cast<double>(call.rows) * static_cast<double>(call.cols);
  char text[512];
  std::snprintf(text, sizeof text,
                "Not enough memory for this call: it takes %s to score a block (%lld x %lld atom "
                "pairs) on each of %d thread%s, %s for the copies, residuals and approximations "
                "of %lld blocks, and up to %s for each block that receives atoms (%lld pixels x "
                "%lld atoms)",
                formatBytes(footprint.scoringBytes).c_str(), static_cast<long long>(call.Ky),
                static_cast<long long>(call.Kx), threads, threads == 1 ? "" : "s",
                formatBytes(footprint.blockBytes).c_str(),
                static_cast<long long>(call.blockCount),
                formatBytes(footprint.blockAtomBytes).c_str(), static_cast<long long>(N),
                static_cast<long long>(footprint.capacity));
  Rejection rejection;
  rejection.identifier = error_id::kOutOfMemory;
  rejection.message = text;
  rejection.plain = rejection.message +
                    ": approximate fewer or smaller blocks per call, use smaller dictionaries, "
                    "or decline the duals and bases";
  return rejection;
}

namespace {

// A route setting (TILEVISTA_SCORING, TILEVISTA_BASIS) that names no route.
bool rejectRoute(const char* identifier, const char* variable, const char* value,
                 const std::string& routes, Rejection* rejection) {
  rejection->identifier = identifier;
  rejection->detail.clear();
  rejection->message = std::string(variable) + " is '" + std::string(value).substr(0, 40) +
                       "': it must be " + routes + ", or unset for the best the processor has";
  rejection->plain = rejection->message;
  return false;
}

// The value of an environment variable, "" when unset.
const char* setting(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr ? value : "";
}

}  // namespace

bool planCall(const CheckedCall& call, CallOptions* options, Rejection* rejection) {
  const char* scoring = setting("TILEVISTA_SCORING");
  if (!isScoringRoute(scoring)) {
    return rejectRoute(error_id::kScoring, "TILEVISTA_SCORING", scoring, routeList(), rejection);
  }
  options->scoring = scoring;
  const char* basis = setting("TILEVISTA_BASIS");
  if (!isBasisRoute(basis)) {
    return rejectRoute(error_id::kBasis, "TILEVISTA_BASIS", basis, basisRouteList(), rejection);
  }
  options->basis = basis;
  std::int32_t threadSetting = 0;
  std::string problem;
  if (!readThreadSetting(&threadSetting, &problem)) {
    rejection->identifier = error_id::kThreads;
    rejection->detail.clear();
    rejection->message = problem;
    rejection->plain = problem;
    return false;
  }
  const std::int32_t threads = pursuitThreads(sizesOf(call), threadSetting);
  if (threads < 1) {
    *rejection = outOfMemory(call, 1);
    return false;
  }
  options->threads = threads;
  return true;
}
