// An allocation that fails on one of the pursuit's worker threads must end the
// call like any other shortage: the usual message, no outputs, every thread
// joined, nothing left behind (the sanitizer builds check the heap), and the
// next call as if nothing had happened. This executable replaces operator new
// to make the n-th allocation off the main thread fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "test_arrays.h"

using namespace testing_arrays;

namespace {

const std::thread::id mainThread = std::this_thread::get_id();
// Allocations off the main thread still to go before one fails; 0: none fails.
std::atomic<long> workerAllocationsLeft{0};
// Allocations off the main thread so far.
std::atomic<long> workerAllocations{0};

}  // namespace

namespace {

void* allocate(std::size_t size) {
  if (std::this_thread::get_id() != mainThread) {
    workerAllocations.fetch_add(1);
    if (workerAllocationsLeft.load() > 0 && workerAllocationsLeft.fetch_sub(1) == 1) {
      throw std::bad_alloc();
    }
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

namespace {

// The aligned forms, which the module's storage for the BLAS uses.
void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  const std::size_t a = static_cast<std::size_t>(alignment);
  if (std::this_thread::get_id() != mainThread) {
    workerAllocations.fetch_add(1);
    if (workerAllocationsLeft.load() > 0 && workerAllocationsLeft.fetch_sub(1) == 1) {
      throw std::bad_alloc();
    }
  }
  if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a + (size == 0 ? a : 0))) return p;
  throw std::bad_alloc();
}

}  // namespace

// All forms: a sanitizer's runtime does not route new[] through new.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

TEST(ThreadFailures, AFailedAllocationInAWorkerEndsTheCallCleanly) {
  const Problem p = randomProblem(8, 8, 16, 16, 8, 8, 31);
  const host::Array tol = scalar(1e-3);
  const std::vector<const mxArray*> inputs = {p.blockCell.get(), p.dictionaryY.get(),
                                              p.dictionaryX.get(), tol.get()};
  ThreadSetting threads("3");
  workerAllocations = 0;
  const ModuleCall expected = callModule(inputs);
  ASSERT_FALSE(expected.result.failed) << expected.result.error;
  // How the work falls to the threads varies from call to call, and with it
  // how many allocations the workers make: the failures are placed at shares
  // of a call's count that any call of these sizes reaches.
  const long count = workerAllocations.load();
  ASSERT_GE(count, 40) << "the workers allocated less than expected";

  const std::size_t live = host::liveArrayCount();
  int reachedCount = 0;
  // Early (scoring, the first band), in the middle and late (the outputs).
  for (long n : {1L, count / 10, count / 4, count / 3}) {
    workerAllocationsLeft = n;
    const ModuleCall failed = callModule(inputs);
    const bool reached = workerAllocationsLeft.load() <= 0;
    workerAllocationsLeft = 0;
    if (!reached) continue;  // this call made fewer worker allocations
    ++reachedCount;
    EXPECT_TRUE(failed.result.failed) << "allocation " << n;
    EXPECT_EQ(failed.result.error.rfind("Not enough memory for this call: ", 0), 0u)
        << "allocation " << n << ": " << failed.result.error;
    EXPECT_TRUE(failed.result.outputs.empty());
    EXPECT_EQ(host::liveArrayCount(), live);

    const ModuleCall again = callModule(inputs);
    ASSERT_FALSE(again.result.failed) << again.result.error;
    EXPECT_EQ(again.totalAtoms(), expected.totalAtoms());
    for (std::size_t q = 0; q < p.blocks.size(); ++q) {
      EXPECT_EQ(again.elementValues(4, q), expected.elementValues(4, q)) << "block " << q;
    }
  }
  EXPECT_EQ(reachedCount, 4) << "the workers allocated less than expected";
}

}  // namespace
