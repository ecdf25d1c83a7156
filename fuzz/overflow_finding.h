// Dictionary X of the fuzzer's finding "mended-overflowing-reduced-norm", for
// the seed generator (make_corpus.cpp) and the test that replays the finding
// (tests/test_fuzz_regressions.cpp): a 4 x 4 orthonormal cosine basis as the
// fuzzer formed it then, each cosine times sqrt(2/n) (sqrt(1/n) the first). The
// finding depends on the last bits of these values; the toolbox's construction
// (bench/cosine_dictionary.h), which divides each atom by its computed
// norm, differs there and does not reproduce it.
#ifndef TILEVISTA_FUZZ_OVERFLOW_FINDING_H
#define TILEVISTA_FUZZ_OVERFLOW_FINDING_H

#include <vector>

/// 4 x 4, column-major, one atom per column.
inline std::vector<double> overflowFindingDictionary() {
  return {0.5,                 0.5,                 0.5,                  0.5,
          0.65328148243818829, 0.27059805007309856, -0.27059805007309851, -0.65328148243818829,
          0.50000000000000011, -0.5,                -0.50000000000000011, 0.49999999999999989,
          0.27059805007309856, -0.6532814824381884, 0.65328148243818818,  -0.27059805007309862};
}

#endif  // TILEVISTA_FUZZ_OVERFLOW_FINDING_H
