// Calls that would read or write out of bounds, divide by a vanishing norm or
// wrap a 32-bit size if the module trusted them: each is handled soundly.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "test_arrays.h"

using namespace testing_arrays;

namespace {

void expectAllFinite(const ModuleCall& call, std::size_t Q) {
  for (int o = 0; o < 6; ++o)
    for (std::size_t i = 0; i < Q; ++i)
      for (double v : call.elementValues(o, i)) ASSERT_TRUE(std::isfinite(v)) << "output " << o + 1;
}

TEST(SingleBlock, SizeIsTakenFromTheOnlyBlock) {
  const host::Array f = matrix(2, 1, {3, 4});
  const host::Array blocks = cell(1, 1, {f.get()});
  const host::Array Dy = matrix(2, 2, {1, 0, 0, 1}), Dx = matrix(1, 1, {1});
  const ModuleCall call = callModule({blocks.get(), Dy.get(), Dx.get()});
  ASSERT_FALSE(call.result.failed) << call.result.error;
  EXPECT_EQ(call.elementValues(0, 0), (std::vector<double>{3, 4}));
  EXPECT_EQ(call.elementValues(1, 0), (std::vector<double>{2, 1}));
  EXPECT_EQ(call.totalAtoms(), 2.0);

  const host::Array wrongDy = matrix(3, 2);
  const ModuleCall rejected = callModule({blocks.get(), wrongDy.get(), Dx.get()});
  EXPECT_EQ(rejected.result.console,
            "The atoms in the dictionary dictionary Y are of length 3 and should be of length 2\n");
}

TEST(BlockChecks, EveryBlockMustBeARealFullDoubleMatrixOfTheBlockSize) {
  const host::Array good = matrix(2, 1, {3, 4});
  const host::Array Dy = matrix(2, 2, {1, 0, 0, 1}), Dx = matrix(1, 1, {1});
  host::Array wrongSize = matrix(2, 2), rowVector = matrix(1, 2), emptyDouble = matrix(0, 0);
  host::Array text(mxCreateString("ab"));
  host::Array sparse(mxCreateSparse(2, 1, 1, mxREAL));
  host::Array complexBlock(mxCreateDoubleMatrix(2, 1, mxCOMPLEX));
  host::Array singleBlock(mxCreateNumericMatrix(2, 1, mxSINGLE_CLASS, mxREAL));
  host::Array int8Block(mxCreateNumericMatrix(2, 1, mxINT8_CLASS, mxREAL));
  host::Array logicalBlock(mxCreateLogicalMatrix(2, 1));
  host::Array nested = cell(2, 1, {good.get(), good.get()});
  struct Case {
    const mxArray* block;  // placed at position 3 of 4; null leaves the element empty
    std::string what;
  };
  const std::vector<Case> cases = {
      {wrongSize.get(), "2 x 2"},        {rowVector.get(), "1 x 2"},
      {emptyDouble.get(), "0 x 0"},      {text.get(), "a character array"},
      {sparse.get(), "a sparse matrix"}, {complexBlock.get(), "complex"},
      {singleBlock.get(), "of class single"},
      {int8Block.get(), "of class int8"},
      {logicalBlock.get(), "of class logical"},
      {nested.get(), "a cell array"},    {nullptr, "an empty cell element"},
  };
  const std::size_t liveBefore = host::liveArrayCount();
  for (const Case& c : cases) {
    const host::Array blocks = cell(2, 2, {good.get(), good.get(), c.block, good.get()});
    const ModuleCall call = callModule({blocks.get(), Dy.get(), Dx.get()});
    EXPECT_TRUE(call.result.failed) << c.what;
    EXPECT_EQ(call.result.error,
              "Block 3 must be a real, full double matrix of 2 x 1; it is " + c.what);
    EXPECT_EQ(call.result.console, "") << "nothing runs before the blocks are checked";
  }
  EXPECT_EQ(host::liveArrayCount(), liveBefore);

  // The size comes from the second block; a first block that disagrees is named.
  const host::Array tall = matrix(3, 1, {1, 2, 3});
  const host::Array mixed = cell(1, 2, {good.get(), tall.get()});
  const host::Array Dy3 = matrix(3, 2, {1, 0, 0, 0, 1, 0});
  const ModuleCall call = callModule({mixed.get(), Dy3.get(), Dx.get()});
  EXPECT_EQ(call.result.error, "Block 1 must be a real, full double matrix of 3 x 1; it is 2 x 1");
}

// Large data leave a rounding-sized residual whose scores still pass 1e-10; a
// block that already holds cap atoms must not be given another.
TEST(FullBlocks, AreRetiredAndThePursuitGoesOn) {
  Problem p = randomProblem(2, 2, 3, 3, 1, 3, 17);  // N = 4, cap = 4
  for (auto& b : p.blocks)
    for (double& v : b) v *= 1e12;
  p.blocks[2] = {1, -2, 0.5, 3};  // a small block that must still be served
  p.build();
  const host::Array tolZero = scalar(0.0);
  const ModuleCall call =
      callModule({p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), tolZero.get()});
  ASSERT_FALSE(call.result.failed) << call.result.error;
  expectAllFinite(call, 3);
  double total = 0;
  for (std::size_t q = 0; q < 3; ++q) {
    const std::vector<double> y = call.elementValues(1, q);
    EXPECT_LE(y.size(), 4u);
    EXPECT_EQ(mxGetN(call.element(5, q)), y.size());
    total += static_cast<double>(y.size());
    // Four independent atoms span the block: it is reproduced.
    const std::vector<double> approx = call.elementValues(0, q);
    for (std::size_t i = 0; i < 4; ++i)
      EXPECT_NEAR(approx[i], p.blocks[q][i], 1e-9 * std::fabs(p.blocks[q][0]) + 1e-9);
  }
  EXPECT_EQ(call.elementValues(1, 2).size(), 4u);
  EXPECT_EQ(total, call.totalAtoms());
}

// Atom 1 of Dy is atom 0 tilted by 1e-9: once atom 0 is in a block, atom 1 scores
// 1e-9 against the residual but adds only a 1e-9 component, far below 1e-7 of its
// norm. It is refused and the block retired instead of dividing by that norm.
TEST(DependentAtoms, AreRefusedAndTheirBlockRetired) {
  const host::Array f0 = matrix(2, 1, {2, -1}), f1 = matrix(2, 1, {0, 3});
  const host::Array blocks = cell(1, 2, {f0.get(), f1.get()});
  const host::Array Dy = matrix(2, 2, {1, 0, 1, 1e-9}), Dx = matrix(1, 1, {1});
  const host::Array tolZero = scalar(0.0);
  const ModuleCall call = callModule({blocks.get(), Dy.get(), Dx.get(), tolZero.get()});
  ASSERT_FALSE(call.result.failed) << call.result.error;
  expectAllFinite(call, 2);
  EXPECT_EQ(call.elementValues(1, 0), (std::vector<double>{1}));
  EXPECT_EQ(call.elementValues(1, 1), (std::vector<double>{2}));
  EXPECT_EQ(call.totalAtoms(), 2.0);
  EXPECT_EQ(mxGetN(call.element(3, 0)), 1u);
  EXPECT_EQ(call.elementValues(0, 0), (std::vector<double>{2, 0}));
  // Both blocks retired, nothing else to take: the tol2 stop.
  const std::string& console = call.result.console;
  EXPECT_NE(console.find("stopped, max(|<f,q>|/||q||)<= tol2=1e-10."), std::string::npos);
}

// An exact duplicate of a chosen atom scores at rounding level against the
// residual; with large data that passes 1e-10 and the duplicate is chosen. Its
// reduced norm is rounding-sized: refused, outputs stay finite.
TEST(DependentAtoms, ExactDuplicatesNeverMakeOutputsNonFinite) {
  for (unsigned seed = 0; seed < 20; ++seed) {
    Problem p = randomProblem(3, 1, 2, 1, 1, 2, seed);
    p.Dy[3] = p.Dy[0];
    p.Dy[4] = p.Dy[1];
    p.Dy[5] = p.Dy[2];
    for (auto& b : p.blocks)
      for (double& v : b) v *= 1e12;
    p.build();
    const host::Array tolZero = scalar(0.0);
    const ModuleCall call =
        callModule({p.blockCell.get(), p.dictionaryY.get(), p.dictionaryX.get(), tolZero.get()});
    ASSERT_FALSE(call.result.failed) << call.result.error;
    expectAllFinite(call, 2);
    EXPECT_EQ(call.totalAtoms(), 2.0) << "one atom per block, seed " << seed;
  }
}

// Ky * Kx = 2^32 wraps to 0 in 32 bits, which would make the capacity and the
// budget 0 and the call a silent no-op.
TEST(Sizes, ProductsThatWrapAreRejectedBeforeAnythingIsCreated) {
  const host::Array f = matrix(1, 1, {1});
  const host::Array blocks = cell(1, 2, {f.get(), f.get()});
  const host::Array wideY = matrix(1, 65536), wideX = matrix(1, 65536);
  const ModuleCall wrap = callModule({blocks.get(), wideY.get(), wideX.get()});
  EXPECT_TRUE(wrap.result.failed);
  EXPECT_EQ(wrap.result.error,
            "The dictionaries are too large: 65536 x 65536 atom pairs, at most 2147483647");
  EXPECT_EQ(wrap.result.console, "");

  // 46341 x 46341 doubles per block matrix exceed the 32-bit range.
  const host::Array tall = matrix(46341, 1);
  const host::Array tallBlocks = cell(1, 1, {tall.get()});
  const host::Array Dy = matrix(46341, 2), Dx = matrix(1, 23171);
  const ModuleCall big = callModule({tallBlocks.get(), Dy.get(), Dx.get()});
  EXPECT_TRUE(big.result.failed);
  EXPECT_EQ(big.result.error,
            "The blocks are too large for their dictionaries: 46341 pixels x 46341 atoms per "
            "block exceed 2147483647 values");
}

}  // namespace
