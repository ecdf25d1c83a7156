// End-to-end calls of the entry point through the substitute host: the worked
// call, every rejection with its exact text, defaults, budget and stop rules;
// and the host driver's outcomes and the scoring routes every host relies on.
#include <gtest/gtest.h>

#include <cstdlib>

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "call_driver.h"
#include "test_arrays.h"
#include "tilevista/scoring_routes.h"
#include "tol_as_psnr.h"

using namespace testing_arrays;

namespace {

const char* const kBanner =
    "\nTILEVISTA MEX is running for tol=6.5, tol1=1e-07 and tol2=1e-10.\n"
    "tol  -> required precision, distance ||f-f_approx||\n"
    "tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n"
    "tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n";
const char* const kTol2Stop = "\n \n TILEVISTA stopped, max(|<f,q>|/||q||)<= tol2=1e-10.\n";

// The small call worked through by hand: blocks [3;4] and [0;1], Dy = I2, Dx = 1.
struct WorkedCall {
  host::Array f0 = matrix(2, 1, {3, 4});
  host::Array f1 = matrix(2, 1, {0, 1});
  host::Array blocks = cell(1, 2, {f0.get(), f1.get()});
  host::Array Dy = matrix(2, 2, {1, 0, 0, 1});
  host::Array Dx = matrix(1, 1, {1});
};

TEST(WorkedCall, AllSevenOutputsAndConsole) {
  WorkedCall w;
  const ModuleCall call = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()});
  ASSERT_FALSE(call.result.failed) << call.result.error;
  EXPECT_EQ(call.result.console,
            std::string(kBanner) +
                "\n \n We have have reached (tol) for approximation. tol= 6.500000, max_err= "
                "1.000000");
  ASSERT_EQ(call.result.outputs.size(), 7u);
  for (int o = 0; o < 6; ++o) {
    EXPECT_TRUE(mxIsCell(call.result.outputs[o].get()));
    EXPECT_EQ(mxGetM(call.result.outputs[o].get()), 1u);
    EXPECT_EQ(mxGetN(call.result.outputs[o].get()), 2u);
  }
  EXPECT_EQ(call.elementValues(0, 0), (std::vector<double>{3, 4}));
  EXPECT_EQ(call.elementValues(0, 1), (std::vector<double>{0, 0}));
  EXPECT_EQ(call.elementValues(1, 0), (std::vector<double>{2, 1}));
  EXPECT_EQ(call.elementValues(2, 0), (std::vector<double>{1, 1}));
  // Dual and orthonormal vectors: [0 1; 1 0] column-major, N x m = 2 x 2.
  EXPECT_EQ(call.elementValues(3, 0), (std::vector<double>{0, 1, 1, 0}));
  EXPECT_EQ(call.elementValues(4, 0), (std::vector<double>{4, 3}));
  EXPECT_EQ(call.elementValues(5, 0), (std::vector<double>{0, 1, 1, 0}));
  EXPECT_EQ(mxGetM(call.element(3, 0)), 2u);
  EXPECT_EQ(mxGetN(call.element(3, 0)), 2u);
  EXPECT_EQ(mxGetM(call.element(1, 0)), 2u);
  EXPECT_EQ(mxGetN(call.element(1, 0)), 1u);
  for (int o = 1; o < 6; ++o) EXPECT_EQ(call.element(o, 1), nullptr) << "output " << o + 1;
  EXPECT_EQ(call.totalAtoms(), 2.0);
  EXPECT_EQ(mxGetM(call.result.outputs[6].get()), 1u);
  EXPECT_EQ(mxGetN(call.result.outputs[6].get()), 1u);
}

TEST(WorkedCall, ExtraOutputsAreAllowedAndSevenAreFilled) {
  WorkedCall w;
  const ModuleCall call = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()}, 9);
  ASSERT_FALSE(call.result.failed) << call.result.error;
  ASSERT_EQ(call.result.outputs.size(), 9u);
  for (int o = 0; o < 7; ++o) EXPECT_NE(call.result.outputs[o], nullptr);
  EXPECT_EQ(call.totalAtoms(), 2.0);
}

// ---- Rejections ---------------------------------------------------------

struct Rejection {
  const char* name;
  std::vector<const mxArray*> inputs;
  int nlhs;
  std::string error;
  std::string console;
};

TEST(Rejections, EachCheckInOrderWithItsExactText) {
  WorkedCall w;
  const mxArray* blocks = w.blocks.get();
  const mxArray* Dy = w.Dy.get();
  const mxArray* Dx = w.Dx.get();

  host::Array complexDy(mxCreateDoubleMatrix(2, 2, mxCOMPLEX));
  host::Array sparseDy(mxCreateSparse(2, 2, 2, mxREAL));
  host::Array charDy(mxCreateString("ab"));
  host::Array singleDy(mxCreateNumericMatrix(2, 2, mxSINGLE_CLASS, mxREAL));
  host::Array intDx(mxCreateNumericMatrix(1, 1, mxINT32_CLASS, mxREAL));
  host::Array emptyString(mxCreateString(""));
  host::Array logicalMax(mxCreateLogicalMatrix(1, 1));
  host::Array cellDx(mxCreateCellMatrix(1, 1));
  host::Array emptyCell(mxCreateCellMatrix(0, 0));
  host::Array emptyDouble = matrix(0, 0);
  host::Array plainMatrix = matrix(2, 1, {3, 4});
  host::Array longDy = matrix(3, 2, {1, 0, 0, 0, 1, 0});
  host::Array emptyDy = matrix(2, 0);
  host::Array wideDx = matrix(2, 1, {1, 1});
  host::Array singleY = matrix(2, 1, {1, 0});
  host::Array rowTol = matrix(1, 2, {1, 2});
  host::Array columnMax = matrix(2, 1, {1, 2});
  host::Array negativeTol = scalar(-1.0);
  host::Array big = scalar(5.0), minusOne = scalar(-1.0), tol = scalar(6.5);

  const std::string dims = "Error!!\n";
  const std::string early = "Error TILEVISTA exited early see message above!!\n";
  const std::string type = "Input must be double, real, full,and nonstring";
  const std::vector<Rejection> table = {
      {"too few inputs", {blocks, Dy}, 7, "Wrong number of input arguments", ""},
      {"too many inputs", {blocks, Dy, Dx, tol.get(), big.get(), big.get()}, 7,
       "Wrong number of input arguments", ""},
      {"input count before output count", {blocks}, 0, "Wrong number of input arguments", ""},
      {"complex Dy", {blocks, complexDy.get(), Dx}, 7, type, ""},
      {"sparse Dy", {blocks, sparseDy.get(), Dx}, 7, type, ""},
      {"char Dy", {blocks, charDy.get(), Dx}, 7, type, ""},
      {"single Dy", {blocks, singleDy.get(), Dx}, 7, type, ""},
      {"int32 Dx", {blocks, Dy, intDx.get()}, 7, type, ""},
      {"cell Dx", {blocks, Dy, cellDx.get()}, 7, type, ""},
      {"empty string tol", {blocks, Dy, Dx, emptyString.get()}, 7, type, ""},
      {"logical maximum", {blocks, Dy, Dx, tol.get(), logicalMax.get()}, 7, type, ""},
      {"type before emptiness", {emptyCell.get(), charDy.get(), Dx}, 7, type, ""},
      {"empty cell", {emptyCell.get(), Dy, Dx}, 7, "The image matrix is empty!!\n", ""},
      {"empty double", {emptyDouble.get(), Dy, Dx}, 7, "The image matrix is empty!!\n", ""},
      {"not a cell", {plainMatrix.get(), Dy, Dx}, 7, "Must Enter a Cell Block", ""},
      {"Dy too long", {blocks, longDy.get(), Dx}, 7, dims,
       "The atoms in the dictionary dictionary Y are of length 3 and should be of length 2\n"},
      {"Dy without atoms", {blocks, emptyDy.get(), Dx}, 7, dims,
       "The atoms in the dictionary dictionary Y are of length 2 and should be of length 2\n"},
      {"Dx too long", {blocks, Dy, wideDx.get()}, 7, dims,
       "The atoms in the dictionary dictionary X are of length 2 and should be of length 1\n"},
      {"Y checked before X", {blocks, longDy.get(), wideDx.get()}, 7, dims,
       "The atoms in the dictionary dictionary Y are of length 3 and should be of length 2\n"},
      {"one atom each", {blocks, singleY.get(), Dx}, 7,
       "One dictionary should have more than 1 atom and the other should have at least one!!",
       "Dictionary Y has 1 atoms and dictionary X has 1 atoms\n!"},
      {"tol not scalar", {blocks, Dy, Dx, rowTol.get()}, 7, "The tolerance should be a scalar",
       ""},
      {"maximum not scalar", {blocks, Dy, Dx, tol.get(), columnMax.get()}, 7,
       "The maximum number of atoms should be a scalar", ""},
      {"six outputs", {blocks, Dy, Dx}, 6, "Wrong number of output arguments!", ""},
      {"tol checked before outputs", {blocks, Dy, Dx, rowTol.get()}, 0,
       "The tolerance should be a scalar", ""},
      {"negative tol", {blocks, Dy, Dx, negativeTol.get()}, 7, early,
       "Tol is -1 is should be positive!\n"},
      {"maximum above capacity", {blocks, Dy, Dx, tol.get(), big.get()}, 7, early,
       "The minimum number of atoms 5 must be greater than 0 and less than 4!\n"},
      {"negative maximum", {blocks, Dy, Dx, tol.get(), minusOne.get()}, 7, early,
       "The minimum number of atoms -1 must be greater than 0 and less than 4!\n"},
  };
  const std::size_t liveBefore = host::liveArrayCount();
  for (const Rejection& r : table) {
    const ModuleCall call = callModule(r.inputs, r.nlhs);
    EXPECT_TRUE(call.result.failed) << r.name;
    EXPECT_EQ(call.result.error, r.error) << r.name;
    EXPECT_EQ(call.result.console, r.console) << r.name;
    EXPECT_TRUE(call.result.outputs.empty()) << r.name;
  }
  EXPECT_EQ(host::liveArrayCount(), liveBefore) << "a rejected call left arrays behind";
}

// ---- Defaults, budget and stop rules -------------------------------------

TEST(Defaults, EmptyOptionalInputsKeepTheirDefaults) {
  const Problem p = randomProblem(4, 3, 5, 4, 2, 3, 11);
  const host::Array empty = matrix(0, 0), tol = scalar(6.5), zero = scalar(0.0);
  const ModuleCall three = callModule({p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get()});
  const ModuleCall emptyFour = callModule(
      {p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), empty.get(), empty.get()});
  const ModuleCall explicitFive = callModule(
      {p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), tol.get(), zero.get()});
  for (const ModuleCall* c : {&three, &emptyFour, &explicitFive}) {
    ASSERT_FALSE(c->result.failed) << c->result.error;
    EXPECT_EQ(c->result.console, three.result.console);
    EXPECT_EQ(c->totalAtoms(), three.totalAtoms());
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(c->elementValues(1, i), three.elementValues(1, i));
  }
  EXPECT_NE(three.result.console.find("tol=6.5,"), std::string::npos);
}

// Budget conversion: truncation toward zero, low 32 bits, non-finite gives 0.
TEST(Budget, MaximumIsConvertedAsDocumented) {
  const Problem p = randomProblem(4, 4, 6, 6, 2, 2, 3);  // cap 16, Q 4: capacity 64
  const host::Array tolZero = scalar(0.0);
  auto atomsFor = [&](double maximum) {
    const host::Array m = scalar(maximum);
    const ModuleCall c = callModule(
        {p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), tolZero.get(), m.get()});
    EXPECT_FALSE(c.result.failed) << maximum << ": " << c.result.error;
    return c.result.failed ? -1.0 : c.totalAtoms();
  };
  EXPECT_EQ(atomsFor(3.9), 3.0);
  EXPECT_EQ(atomsFor(1.0), 1.0);
  EXPECT_EQ(atomsFor(4294967296.0 + 5.0), 5.0);
  const double capacity = atomsFor(0.0);
  EXPECT_GT(capacity, 5.0);
  EXPECT_LE(capacity, 64.0);
  for (double m : {-0.5, std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN(), 1e300}) {
    EXPECT_EQ(atomsFor(m), capacity) << m;
  }
  EXPECT_EQ(atomsFor(64.0), capacity);  // cap x Q itself is accepted

  const host::Array over = scalar(65.0);
  const ModuleCall rejected = callModule(
      {p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), tolZero.get(), over.get()});
  EXPECT_TRUE(rejected.result.failed);
  EXPECT_EQ(rejected.result.console,
            "The minimum number of atoms 65 must be greater than 0 and less than 64!\n");
}

// TILEVISTA_THREADS is read at every call: a whole number from 0 (every
// processor) to 1024, with spaces around it; anything else ends the call with
// a message that names it, before any output exists.
TEST(Threads, TheSettingIsReadAtEveryCallAndChecked) {
  WorkedCall w;
  for (const char* good : {"0", "1", " 2", "3 ", "1024", ""}) {
    ThreadSetting threads(good);
    const ModuleCall c = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()});
    EXPECT_FALSE(c.result.failed) << "'" << good << "': " << c.result.error;
    EXPECT_EQ(c.elementValues(4, 0), (std::vector<double>{4, 3})) << "'" << good << "'";
  }
  for (const char* bad : {"-1", "1025", "two", "2x", "1.5", "99999999999999999999"}) {
    ThreadSetting threads(bad);
    const ModuleCall c = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()});
    EXPECT_EQ(c.result.error, std::string("TILEVISTA_THREADS is '") + bad +
                                  "': it must be a whole number of threads from 1 to 1024, or 0 "
                                  "or unset for every processor");
    EXPECT_EQ(c.result.identifier, "TILEVISTA:threads");
    EXPECT_TRUE(c.result.outputs.empty());
  }
  // TILEVISTA_SCORING, which chooses the block scoring's kernels, likewise.
  setenv("TILEVISTA_SCORING", "avx3", 1);
  const ModuleCall c = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()});
  unsetenv("TILEVISTA_SCORING");
  EXPECT_EQ(c.result.error,
            "TILEVISTA_SCORING is 'avx3': it must be blas, sse3, sse4, avx, avx2 or avx512, or "
            "unset for the best the processor has");
  EXPECT_EQ(c.result.identifier, "TILEVISTA:scoring");
  // TILEVISTA_BASIS, which chooses the route of the basis work, likewise; a
  // name it takes gives the worked call's atoms on every route.
  for (const char* good : {"", "blas", "fused", "fused-general", "fused-avx2", "fused-avx512"}) {
    setenv("TILEVISTA_BASIS", good, 1);
    const ModuleCall routed = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()});
    EXPECT_FALSE(routed.result.failed) << "'" << good << "': " << routed.result.error;
    EXPECT_EQ(routed.elementValues(4, 0), (std::vector<double>{4, 3})) << "'" << good << "'";
  }
  setenv("TILEVISTA_BASIS", "avx512", 1);
  const ModuleCall b = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()});
  unsetenv("TILEVISTA_BASIS");
  EXPECT_EQ(b.result.error,
            "TILEVISTA_BASIS is 'avx512': it must be blas, fused, fused-general, fused-avx2 or "
            "fused-avx512, or unset for the best the processor has");
  EXPECT_EQ(b.result.identifier, "TILEVISTA:basis");
  EXPECT_TRUE(b.result.outputs.empty());
}

TEST(StopRules, BudgetStopsSilently) {
  const Problem p = randomProblem(3, 5, 4, 7, 1, 3, 5);
  const host::Array tolZero = scalar(0.0), two = scalar(2.0);
  const ModuleCall c = callModule(
      {p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), tolZero.get(), two.get()});
  ASSERT_FALSE(c.result.failed) << c.result.error;
  EXPECT_EQ(c.totalAtoms(), 2.0);
  EXPECT_EQ(c.result.console,
            "\nTILEVISTA MEX is running for tol=0, tol1=1e-07 and tol2=1e-10.\n"
            "tol  -> required precision, distance ||f-f_approx||\n"
            "tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n"
            "tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n");
}

TEST(StopRules, ZeroToleranceRunsUntilNothingIsLeft) {
  WorkedCall w;
  const host::Array tolZero = scalar(0.0);
  const ModuleCall c = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get(), tolZero.get()});
  ASSERT_FALSE(c.result.failed) << c.result.error;
  // Both blocks are represented exactly; then every score is zero.
  EXPECT_EQ(c.totalAtoms(), 3.0);
  EXPECT_EQ(c.elementValues(0, 1), (std::vector<double>{0, 1}));
  EXPECT_EQ(c.elementValues(1, 1), (std::vector<double>{2}));
  const std::string& console = c.result.console;
  EXPECT_EQ(console.substr(console.size() - std::string(kTol2Stop).size()), kTol2Stop);
}

TEST(StopRules, AllZeroBlocksTakeNoAtom) {
  const host::Array z = matrix(3, 2), Dy = matrix(3, 2, {1, 2, 3, 4, 5, 6}),
                    Dx = matrix(2, 2, {1, 0, 0, 1});
  const host::Array blocks = cell(2, 2, {z.get(), z.get(), z.get(), z.get()});
  const ModuleCall c = callModule({blocks.get(), Dy.get(), Dx.get()});
  ASSERT_FALSE(c.result.failed) << c.result.error;
  EXPECT_EQ(c.result.console, std::string(kBanner) + kTol2Stop);
  EXPECT_EQ(c.totalAtoms(), 0.0);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(c.elementValues(0, i), std::vector<double>(6, 0.0));
    for (int o = 1; o < 6; ++o) EXPECT_EQ(c.element(o, i), nullptr);
  }
}

TEST(StopRules, NaNToleranceNeverStopsAndNaNBlockIsNeverChosen) {
  Problem p = randomProblem(2, 2, 3, 3, 1, 3, 9);
  p.blocks[1][2] = std::numeric_limits<double>::quiet_NaN();
  p.build();
  const host::Array nanTol = scalar(std::numeric_limits<double>::quiet_NaN());
  const ModuleCall c = callModule({p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get()});
  ASSERT_FALSE(c.result.failed) << c.result.error;
  // The NaN energy keeps the total NaN: the tol rule never fires.
  EXPECT_EQ(c.result.console.find("reached (tol)"), std::string::npos);
  EXPECT_EQ(c.element(1, 1), nullptr);
  EXPECT_EQ(c.elementValues(0, 1), std::vector<double>(4, 0.0));
  for (std::size_t i : {0u, 2u}) {
    EXPECT_NE(c.element(1, i), nullptr);
    for (double v : c.elementValues(4, i)) EXPECT_TRUE(std::isfinite(v));
  }
  const ModuleCall n = callModule(
      {p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), nanTol.get()});
  ASSERT_FALSE(n.result.failed) << n.result.error;
  EXPECT_NE(n.result.console.find("tol=nan,"), std::string::npos);
  EXPECT_EQ(n.result.console.find("reached (tol)"), std::string::npos);
}

}  // namespace

namespace {

// The inputs of the worked call, described to the checks without any host.
class FactsInputs : public CallInputs {
 public:
  explicit FactsInputs(int count) : count_(count) {}
  int count() const override { return count_; }
  ArrayFacts input(int position) const override {
    if (position == kBlocksInput) return cellOf(1, 2);
    if (position == kDictionaryYInput) return doubles(2, 2, dy_);
    return doubles(1, 1, dx_);
  }
  ArrayFacts block(std::int64_t i) const override { return doubles(2, 1, i == 0 ? f0_ : f1_); }

 private:
  static ArrayFacts cellOf(std::int64_t rows, std::int64_t cols) {
    ArrayFacts a;
    a.exists = a.isCell = true;
    a.className = "cell";
    a.rows = rows;
    a.cols = cols;
    return a;
  }
  static ArrayFacts doubles(std::int64_t rows, std::int64_t cols, const double* values) {
    ArrayFacts a;
    a.exists = a.isDouble = true;
    a.className = "double";
    a.rows = rows;
    a.cols = cols;
    a.values = values;
    return a;
  }
  int count_;
  const double f0_[2] = {3, 4}, f1_[2] = {0, 1}, dy_[4] = {1, 0, 0, 1}, dx_[1] = {1};
};

// Keeps the outputs in vectors; runs short of memory at a block when told.
class VectorHost : public CallHost, public PursuitSink, public CallConsole {
 public:
  VectorHost(int count, std::int32_t failAt = -1) : inputs_(count), failAt_(failAt) {}
  const CallInputs& inputs() const override { return inputs_; }
  CallConsole& console() override { return *this; }
  PursuitSink& sink(const CheckedCall&) override {
    ++sinks;
    return *this;
  }
  void accepted(const CheckedCall&) override {
    ++accepts;
    acceptedBeforeSink = sinks == 0;
  }
  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override {
    if (q == failAt_) throw std::bad_alloc();
    values[static_cast<std::size_t>(q)].assign(2 + 4 * static_cast<std::size_t>(m), 0.0);
    indices[static_cast<std::size_t>(q)].assign(2 * static_cast<std::size_t>(m), -1);
    double* v = values[static_cast<std::size_t>(q)].data();
    std::int32_t* i = indices[static_cast<std::size_t>(q)].data();
    return BlockOutputs{v, i, i + m, v + 2, v + 2 + m, v + 2 + 2 * m};
  }
  void print(const std::string& text) override { printed += text; }

  int sinks = 0, accepts = 0;
  bool acceptedBeforeSink = false;
  std::string printed;
  std::vector<double> values[2];
  std::vector<std::int32_t> indices[2];

 private:
  FactsInputs inputs_;
  std::int32_t failAt_;
};

bool alwaysInterrupted() { return true; }

}  // namespace

// The host driver tells a host how its call ended, in one of four ways, and
// a host needs nothing else: rejected before any sink or console text, out of
// memory when the host's arrays cannot be had, interrupted before any work
// when an interrupt is pending, and done with 0-based indices.
TEST(HostDriver, ReportsEachOfTheFourOutcomes) {
  VectorHost rejected(2);
  CallReport report = driveCall(rejected, CallOptions());
  EXPECT_EQ(report.outcome, CallOutcome::kRejected);
  EXPECT_STREQ(report.rejection.identifier, "TILEVISTA:inputCount");
  EXPECT_EQ(report.rejection.message, "Wrong number of input arguments");
  // Beside the module's text, the plain words of the front doors.
  EXPECT_EQ(report.rejection.plain,
            "the call takes 3 to 5 inputs (blocks, Dy, Dx, tol, max_atoms); it was given 2");
  EXPECT_EQ(rejected.sinks, 0);
  EXPECT_EQ(rejected.accepts, 0);
  EXPECT_EQ(rejected.printed, "");

  VectorHost shortage(3, 1);
  report = driveCall(shortage, CallOptions());
  EXPECT_EQ(report.outcome, CallOutcome::kOutOfMemory);
  EXPECT_STREQ(report.rejection.identifier, "TILEVISTA:outOfMemory");
  EXPECT_EQ(report.rejection.message.rfind("Not enough memory for this call: ", 0), 0u);
  EXPECT_EQ(report.rejection.plain.rfind(report.rejection.message + ": approximate fewer", 0), 0u);

  VectorHost interrupted(3);
  CallOptions options;
  options.interrupted = alwaysInterrupted;
  report = driveCall(interrupted, options);
  EXPECT_EQ(report.outcome, CallOutcome::kInterrupted);
  EXPECT_STREQ(report.rejection.identifier, "TILEVISTA:interrupted");
  EXPECT_NE(report.rejection.plain.find("interrupted (Ctrl-C)"), std::string::npos);
  EXPECT_EQ(interrupted.printed, "");
  EXPECT_EQ(interrupted.accepts, 0);

  VectorHost done(3);
  report = driveCall(done, CallOptions());
  ASSERT_EQ(report.outcome, CallOutcome::kDone);
  EXPECT_EQ(report.result.atoms, 2u);
  // Told of the accepted call once, before its sink: a front door warns there.
  EXPECT_EQ(done.accepts, 1);
  EXPECT_TRUE(done.acceptedBeforeSink);
  EXPECT_EQ(done.printed.rfind(kBanner, 0), 0u);
  // Block 1 takes Y atoms 2 and 1 (1-based, as TILEVISTA_Mex returns them),
  // both with X atom 1: y indices, then x indices; block 2 takes none.
  EXPECT_EQ(done.indices[0], (std::vector<std::int32_t>{1, 0, 0, 0}));
  EXPECT_TRUE(done.indices[1].empty());
}

// A tol that reads like a PSNR in dB: 10 to 100, asking at least 20 dB more;
// for a call, the blocks' largest finite magnitude is the peak.
TEST(TolAsPsnr, TheRuleAtItsEdgesAndTheBlocksPeak) {
  const double asked = 10 * std::log10(262144 * 65025.0 / 38);  // 86.5 dB
  EXPECT_DOUBLE_EQ(tolReadsAsPsnr(38, 262144, 255), asked);
  EXPECT_TRUE(std::isnan(tolReadsAsPsnr(9.99, 262144, 255)));
  EXPECT_FALSE(std::isnan(tolReadsAsPsnr(100, 2e9, 255)));  // 121.1 dB
  EXPECT_TRUE(std::isnan(tolReadsAsPsnr(100.01, 2e9, 255)));
  EXPECT_TRUE(std::isnan(tolReadsAsPsnr(std::nan(""), 262144, 255)));
  // 50 asks exactly 70 dB of 10^7 * 50 values of peak 1: at the margin.
  EXPECT_DOUBLE_EQ(tolReadsAsPsnr(50, 5e8, 1), 70.0);
  EXPECT_TRUE(std::isnan(tolReadsAsPsnr(50, 4.9e8, 1)));
  const double b0[4] = {-255, std::nan(""), 3, 0}, b1[4] = {HUGE_VAL, 1, 2, 3};
  CheckedCall call;
  call.blockCount = 2;
  call.rows = call.cols = 2;
  call.blocks = {b0, b1};
  call.tol = 10;
  double peak = 0;
  EXPECT_DOUBLE_EQ(tolReadsAsPsnr(call, &peak), 10 * std::log10(8 * 65025.0 / 10));
  EXPECT_EQ(peak, 255.0);
  call.tol = 38;  // asks 41.4 dB of 8 values, less than 58: taken as meant
  EXPECT_TRUE(std::isnan(tolReadsAsPsnr(call, &peak)));
}

// The one table of scoring routes: what a caller may name, in the order the
// message lists them, and the route each call then takes.
TEST(ScoringRoutes, TheTableNamesWhatCallsAcceptAndTake) {
  const std::vector<ScoringRouteInfo> routes = scoringRoutes();
  ASSERT_GE(routes.size(), 2u);
  EXPECT_EQ(routes[0].name, "blas");
  EXPECT_TRUE(routes[0].available);
  EXPECT_TRUE(isScoringRoute(""));
  EXPECT_FALSE(isScoringRoute("avx3"));
  std::string listed;
  for (std::size_t i = 0; i < routes.size(); ++i) {
    EXPECT_TRUE(isScoringRoute(routes[i].name.c_str()));
    listed += (i == 0 ? "" : i + 1 == routes.size() ? " or " : ", ") + routes[i].name;
  }
  WorkedCall w;
  const char* saved = std::getenv("TILEVISTA_SCORING");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("TILEVISTA_SCORING", "avx3", 1);
  const ModuleCall refused = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()});
  EXPECT_EQ(refused.result.identifier, "TILEVISTA:scoring");
  EXPECT_NE(refused.result.error.find("it must be " + listed + ", or unset"), std::string::npos)
      << refused.result.error;
  for (const ScoringRouteInfo& route : routes) {
    setenv("TILEVISTA_SCORING", route.name.c_str(), 1);
    const ModuleCall call = callModule({w.blocks.get(), w.Dy.get(), w.Dx.get()});
    ASSERT_FALSE(call.result.failed) << route.name << ": " << call.result.error;
    const std::string taken = call.statistics.scoringRoute;
    if (route.name == "blas" || !route.available) {
      EXPECT_EQ(taken, "blas") << route.name;
    } else {
      EXPECT_EQ(taken.rfind("libxsmm-", 0), 0u) << route.name << " took " << taken;
    }
  }
  if (saved != nullptr) {
    setenv("TILEVISTA_SCORING", restore.c_str(), 1);
  } else {
    unsetenv("TILEVISTA_SCORING");
  }
}
