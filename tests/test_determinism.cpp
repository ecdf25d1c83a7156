// The same call gives bit-identical outputs and console text every time, also
// when other calls (accepted, rejected, with NaN) run in between and leave the
// heap in another state: nothing the module computes may depend on memory it
// did not write, on addresses or on earlier calls, nor on an earlier call that
// the user interrupted.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

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

const char* const kInterrupted = "TILEVISTA_Mex: interrupted by the user";

TEST(Interrupt, EndsTheCallPromptlyAndTheNextCallIsUnchanged) {
  using Clock = std::chrono::steady_clock;
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  // 512 random 8 x 8 blocks to capacity: about 33,000 atoms.
  Problem p = randomProblem(8, 8, 16, 16, 16, 32, 99);
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

}  // namespace
