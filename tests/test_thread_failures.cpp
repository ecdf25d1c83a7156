// An allocation that fails on one of the pursuit's worker threads must end the
// call like any other shortage: the usual message, no outputs, every thread
// joined, nothing left behind (the sanitizer builds check the heap), and the
// next call as if nothing had happened. This executable replaces operator new
// to make the n-th allocation off the main thread fail. A host that fails by
// exceptions is given the next outputs' arrays while the workers fill others:
// the same outputs, and a failure or interrupt there ends the pursuit as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "tilevista/pursuit.h"
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

std::atomic<bool> interruptNow{false};
bool interruptRequested() { return interruptNow.load(); }

// Keeps every block's outputs in memory of its own; at block failAt it throws,
// or asks for an interrupt, as a host may.
class VectorSink : public PursuitSink {
 public:
  enum class Failure { kNone, kThrow, kInterrupt };
  VectorSink(std::size_t N, std::size_t Q, bool unwinding, Failure failure = Failure::kNone,
             std::int32_t failAt = -1)
      : N_(N), unwinding_(unwinding), failure_(failure), failAt_(failAt), blocks_(Q) {}

  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override {
    EXPECT_EQ(std::this_thread::get_id(), mainThread) << "block " << q;
    if (q == failAt_ && failure_ == Failure::kThrow) throw std::runtime_error("host refuses");
    if (q == failAt_ && failure_ == Failure::kInterrupt) interruptNow = true;
    const std::size_t M = static_cast<std::size_t>(m);
    std::vector<double>& b = blocks_[static_cast<std::size_t>(q)];
    b.assign(N_ + M * (3 + 2 * N_), -1.0);
    BlockOutputs out;
    out.approximation = b.data();
    // Both index columns, 2 M int32 values, in the room of M doubles.
    out.yIndex = reinterpret_cast<std::int32_t*>(out.approximation + N_);
    out.xIndex = out.yIndex + M;
    out.coefficients = out.approximation + N_ + M;
    out.dual = out.coefficients + M;
    out.ortho = out.dual + N_ * M;
    return out;
  }
  bool failsByUnwinding() const override { return unwinding_; }
  const std::vector<std::vector<double>>& blocks() const { return blocks_; }

 private:
  std::size_t N_;
  bool unwinding_;
  Failure failure_;
  std::int32_t failAt_;
  std::vector<std::vector<double>> blocks_;
};

TEST(ThreadFailures, OutputsMadeWhileWorkersFillAreTheSameAndAFailureThereEndsCleanly) {
  const Problem p = randomProblem(8, 8, 16, 16, 8, 8, 31);
  std::vector<const double*> blocks;
  for (const std::vector<double>& b : p.blocks) blocks.push_back(b.data());
  PursuitRequest request;
  request.blocks = blocks.data();
  request.blockCount = static_cast<std::int32_t>(blocks.size());
  request.rows = request.cols = 8;
  request.Dy = p.Dy.data();
  request.Ky = 16;
  request.Dx = p.Dx.data();
  request.Kx = 16;
  request.tol = 1e-3;
  request.atomLimit = 64 * request.blockCount;
  request.threads = 3;
  request.interrupted = interruptRequested;
  const std::size_t N = 64, Q = blocks.size();

  VectorSink serial(N, Q, false), beside(N, Q, true);
  const PursuitResult one = runBlockPursuit(request, serial);
  const PursuitResult other = runBlockPursuit(request, beside);
  ASSERT_TRUE(one.completed && other.completed);
  ASSERT_GT(one.statistics.threads, 1) << "no worker could be started";
  EXPECT_EQ(one.statistics.outputBesideSeconds, 0.0);
  EXPECT_GT(other.statistics.outputBesideSeconds, 0.0) << "no arrays were made beside the workers";
  EXPECT_EQ(one.atoms, other.atoms);
  for (std::size_t q = 0; q < Q; ++q) {
    const std::vector<double>& a = serial.blocks()[q];
    const std::vector<double>& b = beside.blocks()[q];
    ASSERT_EQ(a.size(), b.size()) << "block " << q;
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0) << "block " << q;
  }

  // Early, in the middle and at the last block; the sanitizer builds check
  // that every thread is joined and nothing is left behind.
  for (std::int32_t failAt : {1, static_cast<std::int32_t>(Q / 2), static_cast<std::int32_t>(Q - 1)}) {
    VectorSink refusing(N, Q, true, VectorSink::Failure::kThrow, failAt);
    EXPECT_THROW(runBlockPursuit(request, refusing), std::runtime_error) << "block " << failAt;
    VectorSink interrupting(N, Q, true, VectorSink::Failure::kInterrupt, failAt);
    EXPECT_FALSE(runBlockPursuit(request, interrupting).completed) << "block " << failAt;
    interruptNow = false;
  }
  VectorSink again(N, Q, true);
  ASSERT_TRUE(runBlockPursuit(request, again).completed);
  EXPECT_EQ(again.blocks(), beside.blocks());
}

}  // namespace
