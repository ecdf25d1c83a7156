// Calls whose work needs more memory than the process can have: they end with
// a clear error, the process survives and the next call works. Each runs in a
// child process whose address space is capped, so no test really takes the
// tens of gigabytes such a call would need.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "test_arrays.h"

using namespace testing_arrays;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TILEVISTA_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TILEVISTA_UNDER_SANITIZER 1
#endif
#endif

const char* const kOutOfMemory = "Not enough memory for this call: ";

// Caps the address space at what the process uses now plus `extra` bytes.
void capAddressSpace(std::size_t extra) {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                       static_cast<rlim_t>(extra);
  const struct rlimit cap = {limit, limit};
  if (setrlimit(RLIMIT_AS, &cap) != 0) {
    std::perror("setrlimit");
    std::_Exit(3);
  }
}

// In the child: runs the call with 1 GiB to spare, prints its error, then runs
// the worked call, which must still give its two atoms. Exit code 0 when the
// first call failed cleanly, left no array behind and the second succeeded.
[[noreturn]] void runCapped(const std::vector<const mxArray*>& inputs) {
  capAddressSpace(std::size_t{1} << 30);
  const std::size_t live = host::liveArrayCount();
  const ModuleCall call = callModule(inputs);
  std::fprintf(stderr, "error: %s\n", call.result.error.c_str());
  const bool clean = call.result.failed && call.result.outputs.empty() &&
                     host::liveArrayCount() == live;

  const host::Array f0 = matrix(2, 1, {3, 4}), f1 = matrix(2, 1, {0, 1});
  const host::Array blocks = cell(1, 2, {f0.get(), f1.get()});
  const host::Array Dy = matrix(2, 2, {1, 0, 0, 1}), Dx = matrix(1, 1, {1});
  const ModuleCall after = callModule({blocks.get(), Dy.get(), Dx.get()});
  const bool recovered = !after.result.failed && after.totalAtoms() == 2.0;
  std::fprintf(stderr, "clean: %d, recovered: %d\n", clean, recovered);
  std::_Exit(clean && recovered ? 0 : 1);
}

class ResourceLimits : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef TILEVISTA_UNDER_SANITIZER
    // The address and thread sanitizers reserve terabytes of address space at
    // start and end the process on a failed operator new instead of throwing
    // std::bad_alloc, so a capped address space cannot be tested under them.
    GTEST_SKIP() << "not under a sanitizer; the standalone build runs this test";
#endif
    // The child re-executes the test binary instead of forking a process that
    // may already run BLAS threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

// Dictionaries of one row and 46340 atoms each: Ky x Kx = 2147395600 atom pairs,
// inside the 32-bit range, so the call is accepted; scoring one block needs a
// 16 GiB table of scores. The inputs themselves are 700 kB.
TEST_F(ResourceLimits, ScoreTableBeyondMemoryEndsWithAClearError) {
  const host::Array f = matrix(1, 1, {1});
  const host::Array blocks = cell(1, 2, {f.get(), f.get()});
  const host::Array Dy = matrix(1, 46340), Dx = matrix(1, 46340);
  EXPECT_EXIT(runCapped({blocks.get(), Dy.get(), Dx.get()}), ::testing::ExitedWithCode(0),
              std::string("error: ") + kOutOfMemory +
                  "it takes 16.0 GB to score a block \\(46340 x 46340 atom pairs\\) on each of 1 "
                  "thread, 1 kB for "
                  "the copies, residuals and approximations of 2 blocks, and up to 1 kB for each block "
                  "that receives atoms \\(1 pixels x 1 atoms\\)");
}

}  // namespace
