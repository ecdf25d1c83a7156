#include "basis_route.h"

#include <cstring>

namespace {

// One entry per name: the widest fused set it allows (kBlas: the BLAS route),
// and whether the general set may serve where no vector set is there.
constexpr std::int32_t kBlas = -1;
struct RouteEntry {
  const char* name;
  std::int32_t widest;
  bool general;
};
const RouteEntry kRoutes[] = {
    {"", static_cast<std::int32_t>(FusedSet::kAvx512), false},
    {"blas", kBlas, false},
    {"fused", static_cast<std::int32_t>(FusedSet::kAvx512), true},
    {"fused-general", static_cast<std::int32_t>(FusedSet::kGeneral), true},
    {"fused-avx2", static_cast<std::int32_t>(FusedSet::kAvx2), true},
    {"fused-avx512", static_cast<std::int32_t>(FusedSet::kAvx512), true},
};

const RouteEntry* find(const char* name) {
  const char* wanted = name != nullptr ? name : "";
  for (const RouteEntry& entry : kRoutes)
    if (std::strcmp(entry.name, wanted) == 0) return &entry;
  return nullptr;
}

}  // namespace

bool isBasisRoute(const char* name) { return name != nullptr && find(name) != nullptr; }

std::string basisRouteList() {
  std::string names;
  const std::size_t count = sizeof kRoutes / sizeof kRoutes[0];
  std::size_t listed = 0;
  for (const RouteEntry& entry : kRoutes) {
    if (*entry.name == '\0') continue;
    ++listed;
    if (!names.empty()) names += listed + 1 == count ? " or " : ", ";
    names += entry.name;
  }
  return names;
}

const FusedBasis* chooseBasisRoute(const char* name) {
  const RouteEntry* entry = find(name);
  if (entry == nullptr || entry->widest == kBlas) return nullptr;
  for (std::int32_t set = entry->widest; set > static_cast<std::int32_t>(FusedSet::kGeneral);
       --set) {
    if (const FusedBasis* kernels = fusedBasis(static_cast<FusedSet>(set))) return kernels;
  }
  return entry->general ? fusedBasis(FusedSet::kGeneral) : nullptr;
}

const char* basisRouteName(const FusedBasis* kernels) {
  return kernels != nullptr ? kernels->route : "blas";
}
