#include "index_columns.h"

#include <cstring>

namespace {

// From the last index to the first: value i, at bytes [4i, 4i + 4), is read
// before its wider form is written to bytes [8i, 8i + 8), which hold only
// narrow values already read (those at 2i and 2i + 1 >= i + 1, for i >= 1).
template <typename Wide>
void widen(void* array, std::int32_t m, Wide base) {
  static_assert(sizeof(Wide) == 2 * sizeof(std::int32_t), "widens to 8 bytes");
  auto* bytes = static_cast<unsigned char*>(array);
  for (std::int32_t i = m - 1; i >= 0; --i) {
    std::int32_t narrow;
    std::memcpy(&narrow, bytes + sizeof(std::int32_t) * static_cast<std::size_t>(i), sizeof narrow);
    const Wide wide = static_cast<Wide>(narrow) + base;
    std::memcpy(bytes + sizeof(Wide) * static_cast<std::size_t>(i), &wide, sizeof wide);
  }
}

}  // namespace

void widenToOneBasedDoubles(void* array, std::int32_t m) { widen<double>(array, m, 1.0); }

void widenToInt64(void* array, std::int32_t m) { widen<std::int64_t>(array, m, 0); }
