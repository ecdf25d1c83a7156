// The substitute host on its own: the array model, cells, deep copies, console
// capture, host errors and the reclaiming of arrays when a call ends. Calls go
// through test-local entry points, not through the module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_call.h"
#include "mex.h"

namespace {

// What the entry points below saw; reset before every test.
struct Observed {
  int printed = 0;                // return value of the first mexPrintf
  bool reachedAfterError = false;  // code after mexErrMsgTxt ran
  bool localDestroyed = false;    // a local object of the entry was destroyed
  bool caughtAsStd = false;       // the host error was caught as std::exception
  bool nestedRejected = false;    // a nested callMex threw std::logic_error
  std::size_t liveInside = 0;     // live arrays just before the entry returned
  std::size_t hugeM = 0, hugeN = 0;
  bool hugeIsCell = false;
};
Observed seen;

// Every test must release what it created: the live count ends where it began.
class SubstituteHost : public ::testing::Test {
 protected:
  void SetUp() override {
    seen = Observed();
    baseline_ = host::liveArrayCount();
  }
  void TearDown() override { EXPECT_EQ(host::liveArrayCount(), baseline_) << "arrays leaked"; }
  std::size_t baseline_ = 0;
};
using SubstituteHostDeathTest = SubstituteHost;

bool allZero(const void* data, std::size_t bytes) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t k = 0; k < bytes; ++k) {
    if (p[k] != 0) return false;
  }
  return true;
}

host::Array column(std::initializer_list<double> values) {
  host::Array a(mxCreateDoubleMatrix(values.size(), 1, mxREAL));
  std::copy(values.begin(), values.end(), mxGetPr(a.get()));
  return a;
}

// ---- Array model -----------------------------------------------------------

TEST_F(SubstituteHost, NumericClassesAreCreatedZeroFilledWithTheirNames) {
  struct Case {
    mxClassID id;
    const char* name;
    std::size_t bytes;
  };
  const Case cases[] = {{mxDOUBLE_CLASS, "double", 8}, {mxSINGLE_CLASS, "single", 4},
                        {mxINT8_CLASS, "int8", 1},     {mxUINT8_CLASS, "uint8", 1},
                        {mxINT16_CLASS, "int16", 2},   {mxUINT16_CLASS, "uint16", 2},
                        {mxINT32_CLASS, "int32", 4},   {mxUINT32_CLASS, "uint32", 4},
                        {mxINT64_CLASS, "int64", 8},   {mxUINT64_CLASS, "uint64", 8}};
  for (const Case& c : cases) {
    for (mxComplexity flag : {mxREAL, mxCOMPLEX}) {
      SCOPED_TRACE(std::string(c.name) + (flag == mxCOMPLEX ? " complex" : " real"));
      host::Array a(mxCreateNumericMatrix(3, 4, c.id, flag));
      EXPECT_EQ(mxGetM(a.get()), 3u);
      EXPECT_EQ(mxGetN(a.get()), 4u);
      EXPECT_EQ(mxGetNumberOfElements(a.get()), 12u);
      EXPECT_EQ(mxGetClassID(a.get()), c.id);
      EXPECT_STREQ(mxGetClassName(a.get()), c.name);
      EXPECT_TRUE(mxIsClass(a.get(), c.name));
      EXPECT_EQ(mxIsComplex(a.get()), flag == mxCOMPLEX);
      ASSERT_NE(mxGetData(a.get()), nullptr);
      EXPECT_TRUE(allZero(mxGetData(a.get()), 12 * c.bytes));
      // The whole extent is writable (the sanitizers catch a short buffer).
      std::memset(mxGetData(a.get()), 0x5a, 12 * c.bytes);
      const bool isDouble = c.id == mxDOUBLE_CLASS;
      EXPECT_EQ(mxGetPr(a.get()) != nullptr, isDouble);
      EXPECT_EQ(mxGetPi(a.get()) != nullptr, isDouble && flag == mxCOMPLEX);
      if (mxGetPi(a.get()) != nullptr) {
        EXPECT_TRUE(allZero(mxGetPi(a.get()), 12 * sizeof(double)));
      }
    }
  }
}

TEST_F(SubstituteHost, LogicalCharAndCellArraysAreCreatedEmptyOrFalse) {
  host::Array flags(mxCreateLogicalMatrix(2, 3));
  EXPECT_STREQ(mxGetClassName(flags.get()), "logical");
  EXPECT_TRUE(allZero(mxGetData(flags.get()), 6 * sizeof(mxLogical)));

  // Each byte of the text is one character, also above 127.
  host::Array text(mxCreateString("Tile\xe9"));
  EXPECT_STREQ(mxGetClassName(text.get()), "char");
  ASSERT_EQ(mxGetM(text.get()), 1u);
  ASSERT_EQ(mxGetN(text.get()), 5u);
  const mxChar* chars = static_cast<const mxChar*>(mxGetData(text.get()));
  EXPECT_EQ(std::u16string(chars, 5), u"Tile\u00e9");

  host::Array none(mxCreateString(""));
  EXPECT_EQ(mxGetM(none.get()), 0u);
  EXPECT_EQ(mxGetN(none.get()), 0u);
  EXPECT_TRUE(mxIsChar(none.get()));

  host::Array cell(mxCreateCellMatrix(2, 3));
  EXPECT_STREQ(mxGetClassName(cell.get()), "cell");
  EXPECT_EQ(mxGetNumberOfElements(cell.get()), 6u);
  EXPECT_EQ(mxGetData(cell.get()), nullptr);
  for (mwIndex i = 0; i < 6; ++i) EXPECT_EQ(mxGetCell(cell.get(), i), nullptr) << i;

  host::Array sparse(mxCreateSparse(5, 3, 0, mxCOMPLEX));
  EXPECT_EQ(mxGetNumberOfElements(sparse.get()), 15u);
  EXPECT_STREQ(mxGetClassName(sparse.get()), "double");
  EXPECT_NE(mxGetPr(sparse.get()), nullptr);
  EXPECT_NE(mxGetPi(sparse.get()), nullptr);
  EXPECT_EQ(mxGetScalar(sparse.get()), 0.0);  // nothing stored
}

TEST_F(SubstituteHost, EmptyArraysKeepTheirShapeAndUsablePointers) {
  const std::size_t shapes[][2] = {{0, 4}, {4, 0}, {0, 0}};
  for (const auto& shape : shapes) {
    const std::size_t m = shape[0], n = shape[1];
    SCOPED_TRACE(std::to_string(m) + " x " + std::to_string(n));
    host::Array arrays[] = {
        host::Array(mxCreateDoubleMatrix(m, n, mxREAL)), host::Array(mxCreateCellMatrix(m, n)),
        host::Array(mxCreateLogicalMatrix(m, n)),
        host::Array(mxCreateNumericMatrix(m, n, mxINT16_CLASS, mxREAL)),
        host::Array(mxCreateSparse(m, n, 0, mxREAL))};
    for (const host::Array& a : arrays) {
      EXPECT_TRUE(mxIsEmpty(a.get())) << mxGetClassName(a.get());
      EXPECT_EQ(mxGetM(a.get()), m);
      EXPECT_EQ(mxGetN(a.get()), n);
      EXPECT_EQ(mxGetNumberOfElements(a.get()), 0u);
      EXPECT_EQ(mxGetScalar(a.get()), 0.0);
    }
    // Module code copies "all" elements of an empty matrix with memcpy.
    EXPECT_NE(mxGetPr(arrays[0].get()), nullptr);
    EXPECT_EQ(mxGetCell(arrays[1].get(), 0), nullptr);
  }
}

TEST_F(SubstituteHost, PredicatesFollowClassComplexityAndStorage) {
  struct Row {
    const char* kind;
    host::Array array;
    // double, single, char, logical, numeric, complex, sparse, cell,
    // class "sparse", class "double"
    bool expected[10];
  };
  Row rows[] = {
      {"real double", host::Array(mxCreateDoubleMatrix(2, 2, mxREAL)),
       {1, 0, 0, 0, 1, 0, 0, 0, 0, 1}},
      {"complex double", host::Array(mxCreateDoubleMatrix(2, 2, mxCOMPLEX)),
       {1, 0, 0, 0, 1, 1, 0, 0, 0, 1}},
      {"real sparse", host::Array(mxCreateSparse(2, 2, 1, mxREAL)), {1, 0, 0, 0, 1, 0, 1, 0, 0, 1}},
      {"complex sparse", host::Array(mxCreateSparse(2, 2, 1, mxCOMPLEX)),
       {1, 0, 0, 0, 1, 1, 1, 0, 0, 1}},
      {"single", host::Array(mxCreateNumericMatrix(2, 2, mxSINGLE_CLASS, mxREAL)),
       {0, 1, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"int32", host::Array(mxCreateNumericMatrix(2, 2, mxINT32_CLASS, mxREAL)),
       {0, 0, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"uint8", host::Array(mxCreateNumericMatrix(2, 2, mxUINT8_CLASS, mxREAL)),
       {0, 0, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"logical", host::Array(mxCreateLogicalMatrix(2, 2)), {0, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
      {"char", host::Array(mxCreateString("ab")), {0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"cell", host::Array(mxCreateCellMatrix(2, 2)), {0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kind);
    const mxArray* a = row.array.get();
    const bool actual[10] = {mxIsDouble(a),  mxIsSingle(a),  mxIsChar(a),
                             mxIsLogical(a), mxIsNumeric(a), mxIsComplex(a),
                             mxIsSparse(a),  mxIsCell(a),    mxIsClass(a, "sparse"),
                             mxIsClass(a, "double")};
    for (int k = 0; k < 10; ++k) EXPECT_EQ(actual[k], row.expected[k]) << "predicate " << k;
    EXPECT_FALSE(mxIsEmpty(a));
  }
}

template <class T>
double firstElementAsScalar(mxClassID id, T value) {
  host::Array a(mxCreateNumericMatrix(2, 2, id, mxREAL));
  std::memcpy(mxGetData(a.get()), &value, sizeof value);
  return mxGetScalar(a.get());
}

TEST_F(SubstituteHost, ScalarIsTheFirstRealElementConverted) {
  EXPECT_EQ(firstElementAsScalar<std::int8_t>(mxINT8_CLASS, -5), -5.0);
  EXPECT_EQ(firstElementAsScalar<std::uint8_t>(mxUINT8_CLASS, 250), 250.0);
  EXPECT_EQ(firstElementAsScalar<std::int16_t>(mxINT16_CLASS, -300), -300.0);
  EXPECT_EQ(firstElementAsScalar<std::uint16_t>(mxUINT16_CLASS, 60000), 60000.0);
  EXPECT_EQ(firstElementAsScalar<std::int32_t>(mxINT32_CLASS, -70000), -70000.0);
  EXPECT_EQ(firstElementAsScalar<std::uint32_t>(mxUINT32_CLASS, 4000000000u), 4e9);
  EXPECT_EQ(firstElementAsScalar<std::int64_t>(mxINT64_CLASS, -(std::int64_t{1} << 40)), -0x1p40);
  EXPECT_EQ(firstElementAsScalar<std::uint64_t>(mxUINT64_CLASS, std::uint64_t{1} << 63), 0x1p63);
  EXPECT_EQ(firstElementAsScalar<float>(mxSINGLE_CLASS, 2.5f), 2.5);
  EXPECT_EQ(firstElementAsScalar<double>(mxDOUBLE_CLASS, -0.125), -0.125);

  host::Array flags(mxCreateLogicalMatrix(1, 2));
  static_cast<mxLogical*>(mxGetData(flags.get()))[0] = true;
  EXPECT_EQ(mxGetScalar(flags.get()), 1.0);
  host::Array letter(mxCreateString("A"));
  EXPECT_EQ(mxGetScalar(letter.get()), 65.0);
  host::Array z(mxCreateDoubleMatrix(1, 1, mxCOMPLEX));
  mxGetPr(z.get())[0] = 3.0;
  mxGetPi(z.get())[0] = 4.0;
  EXPECT_EQ(mxGetScalar(z.get()), 3.0);
  host::Array cell(mxCreateCellMatrix(1, 1));
  EXPECT_EQ(mxGetScalar(cell.get()), 0.0);

  host::Array s(mxCreateDoubleScalar(7.25));
  EXPECT_EQ(mxGetM(s.get()), 1u);
  EXPECT_EQ(mxGetN(s.get()), 1u);
  EXPECT_FALSE(mxIsComplex(s.get()));
  EXPECT_EQ(mxGetPr(s.get())[0], 7.25);
}

TEST_F(SubstituteHost, FailedCreationOutsideACallThrowsBadAlloc) {
  EXPECT_THROW(mxCreateDoubleMatrix(SIZE_MAX, 2, mxREAL), std::bad_alloc);         // overflow
  EXPECT_THROW(mxCreateDoubleMatrix(1 << 20, 1 << 20, mxREAL), std::bad_alloc);   // 8 TiB
  EXPECT_THROW(mxCreateCellMatrix(SIZE_MAX, SIZE_MAX), std::bad_alloc);
}

// ---- Cells -------------------------------------------------------------------

TEST_F(SubstituteHost, CellOwnsItsElementsAndReleasesWhatItReplaces) {
  host::Array cell(mxCreateCellMatrix(2, 2));
  mxArray* first = column({1.0, 2.0}).release();
  mxSetCell(cell.get(), 1, first);
  EXPECT_EQ(host::liveArrayCount(), baseline_ + 2);
  // The stored array itself, not a copy: writes through it stay in the cell.
  ASSERT_EQ(mxGetCell(cell.get(), 1), first);
  mxGetPr(mxGetCell(cell.get(), 1))[0] = 9.0;
  EXPECT_EQ(mxGetPr(first)[0], 9.0);
  EXPECT_EQ(mxGetCell(cell.get(), 4), nullptr);
  EXPECT_EQ(mxGetCell(cell.get(), SIZE_MAX), nullptr);

  mxArray* second = column({3.0}).release();
  mxSetCell(cell.get(), 1, second);  // releases first
  EXPECT_EQ(host::liveArrayCount(), baseline_ + 2);
  EXPECT_EQ(mxGetCell(cell.get(), 1), second);

  mxSetCell(cell.get(), 1, nullptr);  // releases second
  EXPECT_EQ(host::liveArrayCount(), baseline_ + 1);
  EXPECT_EQ(mxGetCell(cell.get(), 1), nullptr);

  // Out of range: ignored, the array stays the caller's.
  host::Array stray = column({4.0});
  mxSetCell(cell.get(), 4, stray.get());
  for (mwIndex i = 0; i < 4; ++i) EXPECT_EQ(mxGetCell(cell.get(), i), nullptr);
  EXPECT_EQ(mxGetPr(stray.get())[0], 4.0);
}

TEST_F(SubstituteHost, ReleasingACellReleasesNestedElementsAndAnElementEmptiesItsPlace) {
  host::Array outer(mxCreateCellMatrix(1, 2));
  mxArray* inner = mxCreateCellMatrix(2, 1);
  mxSetCell(inner, 0, mxCreateDoubleScalar(1.0));
  mxSetCell(inner, 1, mxCreateString("x"));
  mxSetCell(outer.get(), 0, inner);
  mxSetCell(outer.get(), 1, mxCreateDoubleScalar(2.0));
  EXPECT_EQ(host::liveArrayCount(), baseline_ + 5);

  // Releasing a stored element empties its place; the rest stays intact.
  mxDestroyArray(mxGetCell(inner, 0));
  EXPECT_EQ(mxGetCell(inner, 0), nullptr);
  EXPECT_TRUE(mxIsChar(mxGetCell(inner, 1)));
  EXPECT_EQ(host::liveArrayCount(), baseline_ + 4);

  outer.reset();
  EXPECT_EQ(host::liveArrayCount(), baseline_);
}

TEST_F(SubstituteHost, DuplicateIsDeep) {
  host::Array source(mxCreateCellMatrix(1, 3));
  mxArray* z = mxCreateDoubleMatrix(2, 1, mxCOMPLEX);
  mxGetPr(z)[0] = 1.0;
  mxGetPr(z)[1] = 2.0;
  mxGetPi(z)[1] = -3.0;
  mxSetCell(source.get(), 0, z);
  mxArray* inner = mxCreateCellMatrix(1, 1);
  mxSetCell(inner, 0, mxCreateString("ab"));
  mxSetCell(source.get(), 2, inner);
  const std::size_t before = host::liveArrayCount();

  host::Array copy(mxDuplicateArray(source.get()));
  EXPECT_EQ(host::liveArrayCount(), before + 4);  // cell, matrix, inner cell, text
  mxArray* z2 = mxGetCell(copy.get(), 0);
  ASSERT_NE(z2, nullptr);
  EXPECT_NE(z2, z);
  EXPECT_TRUE(mxIsComplex(z2));
  EXPECT_EQ(mxGetPr(z2)[1], 2.0);
  EXPECT_EQ(mxGetPi(z2)[1], -3.0);
  EXPECT_EQ(mxGetCell(copy.get(), 1), nullptr);
  mxArray* inner2 = mxGetCell(copy.get(), 2);
  ASSERT_NE(inner2, nullptr);
  EXPECT_NE(inner2, inner);
  EXPECT_NE(mxGetCell(inner2, 0), mxGetCell(inner, 0));
  EXPECT_EQ(mxGetScalar(mxGetCell(inner2, 0)), 'a');

  // Changing or releasing the copy leaves the source as it was.
  mxGetPr(z2)[0] = 100.0;
  mxSetCell(inner2, 0, nullptr);
  EXPECT_EQ(mxGetPr(z)[0], 1.0);
  EXPECT_NE(mxGetCell(inner, 0), nullptr);
  copy.reset();
  EXPECT_EQ(host::liveArrayCount(), before);
  EXPECT_EQ(mxGetPi(z)[1], -3.0);

  host::Array sparse(mxCreateSparse(4, 4, 3, mxREAL));
  mxGetPr(sparse.get())[2] = 5.0;
  host::Array sparseCopy(mxDuplicateArray(sparse.get()));
  EXPECT_TRUE(mxIsSparse(sparseCopy.get()));
  EXPECT_EQ(mxGetM(sparseCopy.get()), 4u);
  EXPECT_NE(mxGetPr(sparseCopy.get()), mxGetPr(sparse.get()));
  EXPECT_EQ(mxGetPr(sparseCopy.get())[2], 5.0);
}

// ---- Calls ---------------------------------------------------------------------

void printLines(int, mxArray*[], int, const mxArray*[]) {
  seen.printed = mexPrintf("n=%i x=%g y=%f s=%s\n", 42, 0.5, 1.25, "abc");
  mexPrintf("%s", std::string(1000, 'x').c_str());
  mexPrintf("tol=%g.\n", 6.5);
}

TEST_F(SubstituteHost, ConsoleTextIsCapturedExactlyPerCall) {
  const std::string line = "n=42 x=0.5 y=1.250000 s=abc\n";
  for (int round = 0; round < 2; ++round) {
    host::CallResult r = host::callMex(printLines, {}, 0);
    ASSERT_FALSE(r.failed) << r.error;
    // Each call captures its own text, nothing of the previous one.
    EXPECT_EQ(r.console, line + std::string(1000, 'x') + "tol=6.5.\n");
    EXPECT_EQ(seen.printed, static_cast<int>(line.size()));
  }
  // An echo gets the same text as it is printed, one piece per mexPrintf, and
  // the call still returns all of it.
  std::vector<std::string> pieces;
  host::ConsoleEcho echo;
  echo.context = &pieces;
  echo.write = [](const char* text, std::size_t size, void* context) {
    static_cast<std::vector<std::string>*>(context)->emplace_back(text, size);
  };
  host::CallResult echoed = host::callMex(printLines, {}, 0, echo);
  ASSERT_FALSE(echoed.failed) << echoed.error;
  EXPECT_EQ(pieces, (std::vector<std::string>{line, std::string(1000, 'x'), "tol=6.5.\n"}));
  EXPECT_EQ(echoed.console, line + std::string(1000, 'x') + "tol=6.5.\n");
  // The echo belongs to that call only.
  EXPECT_FALSE(host::callMex(printLines, {}, 0).failed);
  EXPECT_EQ(pieces.size(), 3u);
}

void returnSomeKeepScratch(int, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  mxArray* result = mxCreateCellMatrix(1, 2);
  mxSetCell(result, 1, mxCreateDoubleScalar(1.5));
  plhs[0] = result;
  plhs[1] = mxCreateDoubleScalar(nrhs);
  // Scratch the module leaves to the host.
  mxCreateDoubleMatrix(100, 100, mxREAL);
  mxArray* work = mxCreateCellMatrix(2, 1);
  mxSetCell(work, 0, mxCreateDoubleMatrix(3, 3, mxREAL));
  mxSetCell(work, 1, mxDuplicateArray(prhs[0]));
  mxArray* stored = mxCreateDoubleScalar(2.0);
  mxSetCell(result, 0, stored);
  mxSetCell(result, 0, nullptr);  // released by the cell, not again at the end
  mxDestroyArray(mxCreateDoubleScalar(3.0));  // released by the module itself
  seen.liveInside = host::liveArrayCount();
}

TEST_F(SubstituteHost, ReturnedArraysSurviveAndUnreturnedOnesAreReclaimed) {
  host::Array input = column({1.0, 2.0, 3.0});
  host::CallResult r = host::callMex(returnSomeKeepScratch, {input.get()}, 2);
  ASSERT_FALSE(r.failed) << r.error;
  // Inside: input + 3 returned + matrix + work cell with 2 elements.
  EXPECT_EQ(seen.liveInside, baseline_ + 1 + 3 + 4);
  EXPECT_EQ(host::liveArrayCount(), baseline_ + 1 + 3);
  ASSERT_EQ(r.outputs.size(), 2u);
  ASSERT_TRUE(mxIsCell(r.outputs[0].get()));
  EXPECT_EQ(mxGetCell(r.outputs[0].get(), 0), nullptr);
  EXPECT_EQ(mxGetScalar(mxGetCell(r.outputs[0].get(), 1)), 1.5);
  EXPECT_EQ(mxGetScalar(r.outputs[1].get()), 1.0);  // nrhs
  // The input is untouched.
  EXPECT_EQ(mxGetPr(input.get())[2], 3.0);
  EXPECT_EQ(mxGetM(input.get()), 3u);
}

void fillLastSlot(int nlhs, mxArray* plhs[], int, const mxArray*[]) {
  plhs[(nlhs > 1 ? nlhs : 1) - 1] = mxCreateDoubleScalar(nlhs);
}

// Creates many arrays and lets them go every way a module can: released at once,
// released later in another order, stored in a cell that is returned, returned
// directly, or left for the host to reclaim.
void createAndDropInEveryOrder(int, mxArray* plhs[], int, const mxArray*[]) {
  const int count = 3000;
  plhs[0] = mxCreateCellMatrix(count, 1);
  std::vector<mxArray*> laterReleased;
  for (int k = 0; k < count; ++k) {
    mxArray* a = mxCreateDoubleScalar(k);
    switch (k % 4) {
      case 0: mxDestroyArray(a); break;
      case 1: mxSetCell(plhs[0], static_cast<mwIndex>(k), a); break;
      case 2: laterReleased.push_back(a); break;
      default: break;  // left for the host
    }
  }
  // Oldest and newest alternately, so that arrays leave from both ends and
  // from the middle of what the call holds.
  for (std::size_t lo = 0, hi = laterReleased.size(); lo < hi;) {
    mxDestroyArray(laterReleased[lo++]);
    if (lo < hi) mxDestroyArray(laterReleased[--hi]);
  }
  plhs[1] = mxCreateDoubleScalar(-1.0);
  seen.liveInside = host::liveArrayCount();
}

TEST_F(SubstituteHost, ArraysReleasedInAnyOrderOrLeftBehindAreAccountedFor) {
  host::CallResult r = host::callMex(createAndDropInEveryOrder, {}, 2);
  ASSERT_FALSE(r.failed) << r.error;
  // Inside: the cell, its 750 elements, 750 left behind and the scalar.
  EXPECT_EQ(seen.liveInside, baseline_ + 1 + 750 + 750 + 1);
  // After: only what was returned, the cell with its elements and the scalar.
  EXPECT_EQ(host::liveArrayCount(), baseline_ + 1 + 750 + 1);
  ASSERT_EQ(r.outputs.size(), 2u);
  EXPECT_EQ(mxGetScalar(mxGetCell(r.outputs[0].get(), 2997)), 2997.0);
  EXPECT_EQ(mxGetCell(r.outputs[0].get(), 2998), nullptr);
  EXPECT_EQ(mxGetScalar(r.outputs[1].get()), -1.0);
  // A second call starts from a clean slate: nothing of the first is its own.
  r.outputs.clear();
  EXPECT_EQ(host::liveArrayCount(), baseline_);
  host::CallResult again = host::callMex(createAndDropInEveryOrder, {}, 2);
  ASSERT_FALSE(again.failed) << again.error;
  EXPECT_EQ(seen.liveInside, baseline_ + 1 + 750 + 750 + 1);
}

TEST_F(SubstituteHost, OutputSlotsAreMaxOfNlhsAndOneAndUnfilledOnesAreNull) {
  host::CallResult none = host::callMex(fillLastSlot, {}, 0);
  ASSERT_FALSE(none.failed) << none.error;
  ASSERT_EQ(none.outputs.size(), 1u);
  EXPECT_EQ(mxGetScalar(none.outputs[0].get()), 0.0);

  host::CallResult three = host::callMex(fillLastSlot, {}, 3);
  ASSERT_FALSE(three.failed) << three.error;
  ASSERT_EQ(three.outputs.size(), 3u);
  EXPECT_EQ(three.outputs[0].get(), nullptr);
  EXPECT_EQ(three.outputs[1].get(), nullptr);
  EXPECT_EQ(mxGetScalar(three.outputs[2].get()), 3.0);
}

struct MarksDestroyed {
  ~MarksDestroyed() { seen.localDestroyed = true; }
};

void failAfterWork(int, mxArray* plhs[], int, const mxArray*[]) {
  MarksDestroyed local;
  plhs[0] = mxCreateCellMatrix(1, 1);
  mxSetCell(plhs[0], 0, mxCreateDoubleMatrix(4, 4, mxREAL));
  mxCreateDoubleMatrix(10, 10, mxREAL);
  mexPrintf("detail %i\n", 7);
  mexErrMsgTxt("Error!!\n");
  seen.reachedAfterError = true;
}

TEST_F(SubstituteHost, HostErrorEndsTheCallWithNoOutputsAndNoLeak) {
  host::Array input = column({5.0});
  host::CallResult r = host::callMex(failAfterWork, {input.get()}, 1);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.error, "Error!!\n");
  EXPECT_EQ(r.console, "detail 7\n");  // printed before the error, kept
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_FALSE(seen.reachedAfterError);
  EXPECT_TRUE(seen.localDestroyed);  // the module's stack is unwound
  EXPECT_EQ(host::liveArrayCount(), baseline_ + 1);
  EXPECT_EQ(mxGetScalar(input.get()), 5.0);

  // The host is ready for the next call.
  host::CallResult next = host::callMex(fillLastSlot, {}, 1);
  ASSERT_FALSE(next.failed) << next.error;
  EXPECT_EQ(mxGetScalar(next.outputs[0].get()), 1.0);
}

void failFormatted(int, mxArray*[], int, const mxArray*[]) {
  mexErrMsgIdAndTxt("tilevista:test", "bad value %i of %s (%g)", 3, "tol", 0.25);
}

void swallowAsStdException(int, mxArray*[], int, const mxArray*[]) {
  try {
    mexErrMsgTxt("not catchable");
  } catch (const std::exception&) {
    seen.caughtAsStd = true;
  }
}

void throwBadAlloc(int, mxArray* plhs[], int, const mxArray*[]) {
  plhs[0] = mxCreateDoubleMatrix(2, 2, mxREAL);
  throw std::bad_alloc();
}

TEST_F(SubstituteHost, ErrorTextsAndEscapingExceptions) {
  host::CallResult formatted = host::callMex(failFormatted, {}, 1);
  EXPECT_TRUE(formatted.failed);
  EXPECT_EQ(formatted.error, "bad value 3 of tol (0.25)");

  // A module that catches std::exception must not swallow a host error.
  host::CallResult swallowed = host::callMex(swallowAsStdException, {}, 1);
  EXPECT_TRUE(swallowed.failed);
  EXPECT_EQ(swallowed.error, "not catchable");
  EXPECT_FALSE(seen.caughtAsStd);

  // A C++ exception escaping the module ends the call as a host error.
  host::CallResult thrown = host::callMex(throwBadAlloc, {}, 1);
  EXPECT_TRUE(thrown.failed);
  EXPECT_NE(thrown.error.find(std::bad_alloc().what()), std::string::npos) << thrown.error;
  EXPECT_TRUE(thrown.outputs.empty());
}

void createHuge(int, mxArray*[], int, const mxArray*[]) {
  mxCreateDoubleMatrix(5, 5, mxREAL);
  if (seen.hugeIsCell) {
    mxCreateCellMatrix(seen.hugeM, seen.hugeN);
  } else {
    mxCreateDoubleMatrix(seen.hugeM, seen.hugeN, mxREAL);
  }
  seen.reachedAfterError = true;
}

TEST_F(SubstituteHost, CreationThatCannotBeSatisfiedIsAHostError) {
  struct Case {
    std::size_t m, n;
    bool cell;
  };
  const Case cases[] = {{std::size_t{1} << 20, std::size_t{1} << 20, false},  // 8 TiB
                        {SIZE_MAX, 2, false},                                 // size overflow
                        {SIZE_MAX, 3, true}};
  for (const Case& c : cases) {
    seen.hugeM = c.m;
    seen.hugeN = c.n;
    seen.hugeIsCell = c.cell;
    host::CallResult r = host::callMex(createHuge, {}, 1);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.error.rfind("Out of memory", 0), 0u) << r.error;
    EXPECT_FALSE(seen.reachedAfterError);
  }
}

void callNested(int, mxArray* plhs[], int, const mxArray*[]) {
  try {
    host::callMex(fillLastSlot, {}, 1);
  } catch (const std::logic_error&) {
    seen.nestedRejected = true;
  }
  plhs[0] = mxCreateDoubleScalar(1.0);
}

TEST_F(SubstituteHost, CallArgumentsAreCheckedAndNestedCallsRejected) {
  host::CallResult r = host::callMex(callNested, {}, 1);
  ASSERT_FALSE(r.failed) << r.error;
  EXPECT_TRUE(seen.nestedRejected);
  ASSERT_EQ(r.outputs.size(), 1u);

  EXPECT_THROW(host::callMex(nullptr, {}, 1), std::invalid_argument);
  EXPECT_THROW(host::callMex(fillLastSlot, {}, -1), std::invalid_argument);
  EXPECT_THROW(host::callMex(fillLastSlot, {nullptr}, 1), std::invalid_argument);
}

// ---- Misuse ends the process loudly --------------------------------------------

void destroyInput(int, mxArray*[], int, const mxArray* prhs[]) {
  mxDestroyArray(const_cast<mxArray*>(prhs[0]));
}

void storeInputInCell(int, mxArray* plhs[], int, const mxArray* prhs[]) {
  plhs[0] = mxCreateCellMatrix(1, 1);
  mxSetCell(plhs[0], 0, const_cast<mxArray*>(prhs[0]));
}

void returnInput(int, mxArray* plhs[], int, const mxArray* prhs[]) {
  plhs[0] = const_cast<mxArray*>(prhs[0]);
}

void storeTwice(int, mxArray* plhs[], int, const mxArray*[]) {
  plhs[0] = mxCreateCellMatrix(1, 2);
  mxArray* a = mxCreateDoubleScalar(1.0);
  mxSetCell(plhs[0], 0, a);
  mxSetCell(plhs[0], 1, a);
}

TEST_F(SubstituteHostDeathTest, MisuseThatWouldCorruptMemoryAborts) {
  host::Array input = column({1.0});
  EXPECT_DEATH(host::callMex(destroyInput, {input.get()}, 1), "not created during this call");
  EXPECT_DEATH(host::callMex(storeInputInCell, {input.get()}, 1), "not created during this call");
  EXPECT_DEATH(host::callMex(returnInput, {input.get()}, 1), "output 1 was not created");
  EXPECT_DEATH(host::callMex(storeTwice, {}, 1), "already stored in a cell");
  EXPECT_DEATH(mexErrMsgTxt("stray"), "outside a call: stray");
  EXPECT_DEATH(mxGetM(nullptr), "null array");
}

TEST_F(SubstituteHostDeathTest, StaleAndForeignHandlesAreRecognised) {
  // A released array, whether or not its place has been taken since.
  EXPECT_DEATH(
      {
        mxArray* a = mxCreateDoubleScalar(1.0);
        mxDestroyArray(a);
        mxDestroyArray(a);
      },
      "not a live array \\(released twice\\?\\)");
  EXPECT_DEATH(
      {
        mxArray* a = mxCreateDoubleScalar(1.0);
        mxDestroyArray(a);
        mxGetM(a);
      },
      "not a live array \\(already released\\?\\)");
  // Pointers that were never arrays: a local, and the inside of a live array.
  double local = 0.0;
  host::Array live = column({1.0});
  mxArray* inside = reinterpret_cast<mxArray*>(reinterpret_cast<char*>(live.get()) + 8);
  EXPECT_DEATH(mxDestroyArray(reinterpret_cast<mxArray*>(&local)), "not a live array");
  EXPECT_DEATH(mxDestroyArray(inside), "not a live array");
  host::Array cell(mxCreateCellMatrix(1, 1));
  EXPECT_DEATH(mxSetCell(cell.get(), 0, inside), "the element is not a live array");
  EXPECT_THROW(host::callMex(returnSomeKeepScratch, {inside}, 1), std::invalid_argument);
}

}  // namespace
