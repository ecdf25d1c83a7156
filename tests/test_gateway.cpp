// End-to-end calls of the entry point through the substitute host: the worked
// call, every rejection with its exact text, defaults, budget and stop rules.
#include <gtest/gtest.h>

#include <cstdlib>

#include <cmath>
#include <limits>
#include <string>

#include "test_arrays.h"

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
