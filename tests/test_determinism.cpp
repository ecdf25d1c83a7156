// The same call gives bit-identical outputs and console text every time, also
// when other calls (accepted, rejected, with NaN) run in between and leave the
// heap in another state: nothing the module computes may depend on memory it
// did not write, on addresses or on earlier calls, nor on an earlier call that
// the user interrupted.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <strings.h>
#include <thread>
#include <vector>

#include "basis_route.h"
#include "reference_pursuit.h"
#include "test_arrays.h"

using namespace testing_arrays;

namespace {

// Bitwise equality (NaN payloads included) of two arrays, cells element-wise.
bool identical(const mxArray* a, const mxArray* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (mxGetClassID(a) != mxGetClassID(b) || mxGetM(a) != mxGetM(b) || mxGetN(a) != mxGetN(b)) {
    return false;
  }
  const std::size_t n = mxGetNumberOfElements(a);
  if (mxIsCell(a)) {
    for (std::size_t i = 0; i < n; ++i)
      if (!identical(mxGetCell(a, i), mxGetCell(b, i))) return false;
    return true;
  }
  return std::memcmp(mxGetPr(a), mxGetPr(b), n * sizeof(double)) == 0;
}

// The kernel set tests/support/run-under-kernel-sets asks for, "NAME=VALUE";
// empty when the test does not run under it (the environment may then hold
// any setting of the user's, which is not checked).
std::string kernelSetUnderTest() {
  const char* setting = std::getenv("TILEVISTA_KERNEL_SET_UNDER_TEST");
  return setting != nullptr ? setting : "";
}

// The block scoring's route the last call took: the one TILEVISTA_SCORING
// asks for under run-under-kernel-sets, else the generated kernels where this
// build has them, else BLAS.
void expectScoringRoute(const ModuleCall& call, const std::string& what) {
  const std::string route = call.statistics.scoringRoute;
  const std::string setting = kernelSetUnderTest();
  const std::string prefix = "TILEVISTA_SCORING=";
#if defined(TILEVISTA_HAVE_LIBXSMM) && defined(__x86_64__) && defined(__unix__)
  if (setting.rfind(prefix, 0) == 0) {
    const std::string asked = setting.substr(prefix.size());
    EXPECT_EQ(route, asked == "blas" ? "blas" : "libxsmm-" + asked) << what;
    return;
  }
  const char* scoring = std::getenv("TILEVISTA_SCORING");
  if (scoring != nullptr && *scoring != '\0') return;  // the user's own choice
  EXPECT_EQ(route.rfind("libxsmm-", 0), 0u) << what << ": " << route;
#else
  if (setting.rfind(prefix, 0) == 0 && setting != prefix + "blas") return;
  EXPECT_EQ(route, "blas") << what;
#endif
}

// Sets TILEVISTA_BASIS for a scope; the value before comes back afterwards.
class BasisSetting {
 public:
  explicit BasisSetting(const std::string& value) {
    if (const char* before = std::getenv("TILEVISTA_BASIS")) before_ = before, had_ = true;
    setenv("TILEVISTA_BASIS", value.c_str(), 1);
  }
  ~BasisSetting() {
    if (had_) {
      setenv("TILEVISTA_BASIS", before_.c_str(), 1);
    } else {
      unsetenv("TILEVISTA_BASIS");
    }
  }
  BasisSetting(const BasisSetting&) = delete;
  BasisSetting& operator=(const BasisSetting&) = delete;

 private:
  std::string before_;
  bool had_ = false;
};

// The basis routes a cross-check runs on: the BLAS route, and the fused route
// on the instruction set run-under-kernel-sets asks for (TILEVISTA_BASIS=...),
// else on the default one ("").
std::vector<std::string> basisRoutesUnderTest() {
  const std::string setting = kernelSetUnderTest();
  const std::string prefix = "TILEVISTA_BASIS=";
  if (setting.rfind(prefix, 0) != 0) return {"blas", ""};
  const std::string asked = setting.substr(prefix.size());
  if (asked == "blas") return {"blas"};
  return {"blas", asked};
}

// The basis route the last call took, for TILEVISTA_BASIS = asked: the BLAS
// route; exactly the fused set asked for (kernel-sets lists only sets the
// processor runs); or by default a fused set where the processor has AVX2 or
// AVX-512.
void expectBasisRoute(const ModuleCall& call, const std::string& asked, const std::string& what) {
  const std::string route = call.statistics.basisRoute;
  if (asked == "blas") {
    EXPECT_EQ(route, "blas") << what;
  } else if (!asked.empty()) {
    EXPECT_EQ(route, asked) << what;
  } else {
    EXPECT_EQ(route, basisRouteName(chooseBasisRoute(""))) << what;
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
      EXPECT_EQ(route.rfind("fused-avx", 0), 0u) << what << ": " << route;
    }
#endif
  }
}

void expectIdentical(const ModuleCall& first, const ModuleCall& again, const std::string& what) {
  EXPECT_EQ(again.result.failed, first.result.failed) << what;
  EXPECT_EQ(again.result.error, first.result.error) << what;
  EXPECT_EQ(again.result.console, first.result.console) << what;
  ASSERT_EQ(again.result.outputs.size(), first.result.outputs.size()) << what;
  for (std::size_t o = 0; o < first.result.outputs.size(); ++o) {
    EXPECT_TRUE(identical(first.result.outputs[o].get(), again.result.outputs[o].get()))
        << what << ": output " << o + 1;
  }
}

TEST(Determinism, RepeatedCallsGiveIdenticalOutputsAndConsole) {
  // Redundant dictionaries (more atoms than pixels) and rows != cols, so that
  // blocks retire, take many atoms, and the scores have near ties.
  Problem redundant = randomProblem(6, 5, 9, 8, 3, 4, 2024);
  Problem small = randomProblem(3, 3, 4, 4, 2, 2, 7);
  small.blocks[1][4] = std::numeric_limits<double>::quiet_NaN();
  small.build();
  const host::Array tolZero = scalar(0.0), tight = scalar(1e-3), budget = scalar(37);
  const host::Array wrongType(mxCreateNumericMatrix(3, 4, mxSINGLE_CLASS, mxREAL));

  struct Case {
    std::string name;
    std::vector<const mxArray*> inputs;
  };
  const std::vector<Case> cases = {
      {"to capacity", {redundant.blockCell.get(), redundant.dictionaryY.get(),
                       redundant.dictionaryX.get(), tolZero.get()}},
      {"tol stop", {redundant.blockCell.get(), redundant.dictionaryY.get(),
                    redundant.dictionaryX.get(), tight.get()}},
      {"budget", {redundant.blockCell.get(), redundant.dictionaryY.get(),
                  redundant.dictionaryX.get(), tolZero.get(), budget.get()}},
      {"NaN block", {small.blockCell.get(), small.dictionaryY.get(), small.dictionaryX.get(),
                     tolZero.get()}},
      {"rejected", {small.blockCell.get(), wrongType.get(), small.dictionaryX.get()}},
  };
  std::vector<ModuleCall> first;
  for (const Case& c : cases) first.push_back(callModule(c.inputs));
  ASSERT_FALSE(first[0].result.failed) << first[0].result.error;
  EXPECT_GT(first[0].totalAtoms(), 0.0);
  EXPECT_TRUE(first[4].result.failed);

  // Three more rounds, each in another order, so every call follows a
  // different predecessor.
  for (int round = 1; round <= 3; ++round) {
    for (std::size_t k = 0; k < cases.size(); ++k) {
      const std::size_t i = (k * (round + 1) + round) % cases.size();
      expectIdentical(first[i], callModule(cases[i].inputs),
                      cases[i].name + ", round " + std::to_string(round));
    }
  }
}

// The pursuit's blocks take their atoms on whichever thread, in bands, and the
// global order is replayed where a stop may fall; none of that may show in the
// outputs. Every stop rule, refused atoms, full blocks, NaN and Inf inputs and
// ties between blocks, with 1, 2, 3 and 8 threads on any machine (8 and 3
// oversubscribe a small one), on the BLAS route and on the fused route of the
// basis work.
TEST(Determinism, OutputsDoNotDependOnTheThreadCount) {
  if (std::getenv("TILEVISTA_EXPECT_SERIAL_OPENBLAS") != nullptr) {
    // Run against OpenBLAS built without threading: make sure it is loaded.
    auto parallel = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "openblas_get_parallel"));
    ASSERT_NE(parallel, nullptr);
    ASSERT_EQ(parallel(), 0) << "the OpenBLAS loaded was built with threading";
  }
  Problem random = randomProblem(8, 8, 16, 16, 9, 10, 11);
  // Equal blocks: every choice between them is a tie, decided by block index.
  Problem ties = randomProblem(4, 4, 6, 5, 6, 7, 12);
  for (auto& block : ties.blocks) block = ties.blocks[3];
  ties.build();
  // Dictionary X repeats a column: atoms already in a block's span are refused.
  Problem repeats = randomProblem(3, 4, 5, 6, 4, 5, 13);
  for (std::size_t r = 0; r < 4; ++r) repeats.Dx[5 * 4 + r] = repeats.Dx[2 * 4 + r];
  repeats.blocks[2][1] = std::numeric_limits<double>::quiet_NaN();
  repeats.blocks[7][0] = std::numeric_limits<double>::infinity();
  repeats.build();
  // Few atom pairs: blocks fill up.
  Problem full = randomProblem(5, 5, 3, 2, 5, 5, 14);

  double randomEnergy = 0.0, tieEnergy = 0.0;
  for (const auto& block : random.blocks)
    for (double v : block) randomEnergy += v * v;
  for (const auto& block : ties.blocks)
    for (double v : block) tieEnergy += v * v;
  const host::Array zero = scalar(0.0), halfway = scalar(0.05 * randomEnergy),
                    nearEnd = scalar(1e-3 * randomEnergy), tieTol = scalar(0.2 * tieEnergy),
                    budget = scalar(301), fullBudget = scalar(137);
  struct Case {
    std::string name;
    std::vector<const mxArray*> inputs;
  };
  const std::vector<Case> cases = {
      {"tol stop early", {random.blockCell.get(), random.dictionaryY.get(), random.dictionaryX.get(), halfway.get()}},
      {"tol stop late", {random.blockCell.get(), random.dictionaryY.get(), random.dictionaryX.get(), nearEnd.get()}},
      {"budget stop", {random.blockCell.get(), random.dictionaryY.get(), random.dictionaryX.get(), zero.get(), budget.get()}},
      {"ties", {ties.blockCell.get(), ties.dictionaryY.get(), ties.dictionaryX.get(), tieTol.get()}},
      {"refused, NaN, Inf", {repeats.blockCell.get(), repeats.dictionaryY.get(), repeats.dictionaryX.get(), zero.get()}},
      {"full blocks, budget", {full.blockCell.get(), full.dictionaryY.get(), full.dictionaryX.get(), zero.get(), fullBudget.get()}},
      {"full blocks, tol2", {full.blockCell.get(), full.dictionaryY.get(), full.dictionaryX.get(), zero.get()}},
  };
  for (const std::string& basis : basisRoutesUnderTest()) {
    BasisSetting route(basis);
    for (const Case& c : cases) {
      const std::string name = c.name + ", basis '" + basis + "'";
      ModuleCall one;
      {
        ThreadSetting threads("1");
        one = callModule(c.inputs);
      }
      ASSERT_FALSE(one.result.failed) << name << ": " << one.result.error;
      expectScoringRoute(one, name);
      expectBasisRoute(one, basis, name);
      for (const char* n : {"2", "3", "8"}) {
        ThreadSetting threads(n);
        const ModuleCall again = callModule(c.inputs);
        expectIdentical(one, again, name + ", " + n + " threads");
        expectScoringRoute(again, name + ", " + n + " threads");
        expectBasisRoute(again, basis, name + ", " + n + " threads");
      }
    }
  }

  // The tie case stops part-way, so which of the equal blocks got their atoms
  // shows whether ties went to the lower index, as one atom after the other.
  ThreadSetting threads("2");
  const ModuleCall call = callModule(cases[3].inputs);
  const reference::Result ref = reference::pursue(ties.blocks, 4, 4, ties.Dy, 6, ties.Dx, 5,
                                                  0.2 * tieEnergy, 0);
  ASSERT_EQ(ref.stop, "tol");
  EXPECT_EQ(call.totalAtoms(), ref.totalAtoms);
  for (std::size_t q = 0; q < ties.blocks.size(); ++q) {
    const std::vector<double> y = call.elementValues(1, q);
    EXPECT_EQ(y, std::vector<double>(ref.yIndex[q].begin(), ref.yIndex[q].end())) << "block " << q;
  }
}

// Every array of a call placed at one offset past a 64-byte boundary, for a
// scope.
class ArraysPlacedAt {
 public:
  explicit ArraysPlacedAt(std::size_t offset) { host::setArrayPlacement(offset); }
  ~ArraysPlacedAt() { host::clearArrayPlacement(); }
  ArraysPlacedAt(const ArraysPlacedAt&) = delete;
  ArraysPlacedAt& operator=(const ArraysPlacedAt&) = delete;
};

// The same values wherever the host put them: every array of the call (blocks,
// dictionaries, tol, budget, and the outputs) at each offset a double can have
// past a 64-byte boundary. Some BLAS kernels sum in an order that depends on
// where their operands sit; CMake runs this under every kernel set the
// processor can run (tests/support/kernel-sets).
TEST(Determinism, OutputsDoNotDependOnWhereTheArraysLive) {
  struct Case {
    std::string name;
    Problem problem;
    double tol, budget;
  };
  std::vector<Case> cases;
  // 3 x 5 blocks: 15 values, so the blocks of a cell's copy fall at every
  // offset; a budget that stops mid-way.
  cases.push_back({"3 x 5, budget", randomProblem(3, 5, 7, 4, 5, 8, 21), 0.0, 150.0});
  cases.push_back({"8 x 8, tol", randomProblem(8, 8, 16, 16, 4, 4, 22), 1e-2, 0.0});
  for (Case& c : cases) {
    for (const char* threads : {"1", "3"}) {
      ThreadSetting setting(threads);
      ModuleCall reference;
      for (std::size_t offset = 0; offset < 64; offset += sizeof(double)) {
        ArraysPlacedAt placed(offset);
        c.problem.build();
        const host::Array tol = scalar(c.tol), budget = scalar(c.budget);
        ModuleCall call = callModule({c.problem.blockCell.get(), c.problem.dictionaryY.get(),
                                      c.problem.dictionaryX.get(), tol.get(), budget.get()});
        ASSERT_FALSE(call.result.failed) << call.result.error;
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(mxGetPr(c.problem.dictionaryY.get())) % 64,
                  offset);
        if (offset == 0) {
          EXPECT_GT(call.totalAtoms(), 0.0);
          reference = std::move(call);
          continue;
        }
        expectIdentical(reference, call,
                        c.name + ", " + threads + " threads, offset " + std::to_string(offset));
      }
    }
  }
}

// Under OPENBLAS_CORETYPE (tests/support/run-under-kernel-sets) OpenBLAS must
// really run the kernel set asked for, or the runs under every set would
// prove nothing.
TEST(BlasKernels, AreTheSetAskedFor) {
  const std::string setting = kernelSetUnderTest();
  const std::string prefix = "OPENBLAS_CORETYPE=";
  auto corename = reinterpret_cast<char* (*)()>(dlsym(RTLD_DEFAULT, "openblas_get_corename"));
  if (setting.rfind(prefix, 0) != 0 || corename == nullptr) {
    GTEST_SKIP() << "no kernel set asked of OpenBLAS";
  }
  const std::string asked = setting.substr(prefix.size());
  EXPECT_EQ(strcasecmp(corename(), asked.c_str()), 0)
      << "asked for " << asked << ", runs " << corename();
}

const char* const kInterrupted = "TILEVISTA_Mex: interrupted by the user";

// A request from another thread during a long call, on one thread and on
// three, and a request pending when a call starts.
void expectInterruptEndsTheCall(const std::string& threadCount) {
  SCOPED_TRACE(threadCount + " threads");
  ThreadSetting threads(threadCount);
  using Clock = std::chrono::steady_clock;
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  // 1,024 random 8 x 8 blocks to capacity: 65,536 atoms, a call long enough
  // (about 0.15 s on one thread of a fast core) that a busy machine's
  // scheduling delays stay small beside the fractions of it checked below.
  Problem p = randomProblem(8, 8, 16, 16, 32, 32, 99);
  const host::Array tolZero = scalar(0.0);
  const std::vector<const mxArray*> inputs = {p.blockCell.get(), p.dictionaryY.get(),
                                              p.dictionaryX.get(), tolZero.get()};

  Clock::time_point start = Clock::now();
  const ModuleCall whole = callModule(inputs);
  const double wholeSeconds = seconds(Clock::now() - start);
  ASSERT_FALSE(whole.result.failed) << whole.result.error;
  const std::size_t live = host::liveArrayCount();

  // A request made from another thread a quarter into the call.
  const auto delay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(wholeSeconds / 4));
  Clock::time_point requested;
  std::thread user([&] {
    std::this_thread::sleep_for(delay);
    requested = Clock::now();
    host::requestInterrupt();
  });
  start = Clock::now();
  const ModuleCall interrupted = callModule(inputs);
  const Clock::time_point ended = Clock::now();
  user.join();
  EXPECT_TRUE(interrupted.result.failed);
  EXPECT_EQ(interrupted.result.error, kInterrupted);
  EXPECT_TRUE(interrupted.result.outputs.empty());
  EXPECT_EQ(host::liveArrayCount(), live);
  // Ended by the request, not by running out of work: well before the whole
  // call's time, and soon after the request.
  EXPECT_LT(seconds(ended - start), 0.75 * wholeSeconds);
  EXPECT_LT(seconds(ended - requested), 0.25 * wholeSeconds + 0.05);

  expectIdentical(whole, callModule(inputs), "after an interrupted call");

  // A request pending when the call starts ends it before any work (no
  // banner), and concerns that call only.
  host::requestInterrupt();
  const ModuleCall early = callModule(inputs);
  EXPECT_EQ(early.result.error, kInterrupted);
  EXPECT_EQ(early.result.console, "");
  EXPECT_EQ(host::liveArrayCount(), live);
  expectIdentical(whole, callModule(inputs), "after a call interrupted at its start");
}

TEST(Interrupt, EndsTheCallPromptlyAndTheNextCallIsUnchanged) {
  expectInterruptEndsTheCall("1");
  expectInterruptEndsTheCall("3");
}

}  // namespace
