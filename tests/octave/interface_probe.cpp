// A stand-in gateway that asks the host everything the module's gateway may ask
// of it, for test_oct_against_mex.m, which builds it against Octave's mex.h
// (a .mex) and against the Octave-native host (a .oct) and compares the two.
//
//   [c, s] = TILEVISTA_Mex(inputs...)
//
// Prints, for every input and every element of an input cell (one level
// down, and one index past the end), what the predicates, sizes, class name,
// first value and scalar say. Returns in c a 2 x 2 cell of created arrays (a
// 1 x 1 and a 0 x 3 double, an element never set, a nested cell whose element
// was replaced) and in s a 1 x 1 double. When the last input is the text
// 'error', ends with mexErrMsgIdAndTxt instead.
#include <cstdio>

#include "mex.h"

namespace {

void describe(const char* where, const mxArray* a) {
  if (a == nullptr) {
    mexPrintf("%s: null\n", where);
    return;
  }
  mexPrintf("%s: %s %dx%d numel=%d empty=%d cell=%d char=%d double=%d complex=%d sparse=%d "
            "isclass(double)=%d isclass(sparse)=%d isclass(own)=%d",
            where, mxGetClassName(a), static_cast<int>(mxGetM(a)), static_cast<int>(mxGetN(a)),
            static_cast<int>(mxGetNumberOfElements(a)), mxIsEmpty(a), mxIsCell(a), mxIsChar(a),
            mxIsDouble(a), mxIsComplex(a), mxIsSparse(a), mxIsClass(a, "double"),
            mxIsClass(a, "sparse"), mxIsClass(a, mxGetClassName(a)));
  // The module reads numbers only from non-empty doubles, and scalars only
  // from non-empty numbers (Octave's MEX layer refuses the scalar of an
  // empty or a complex sparse matrix, which the native host gives as 0 and as
  // the first stored real part).
  if (mxIsDouble(a) && !mxIsEmpty(a)) mexPrintf(" first=%.17g", *mxGetPr(a));
  if (!mxIsEmpty(a) && !(mxIsSparse(a) && mxIsComplex(a)) &&
      (mxIsDouble(a) || mxIsChar(a) || mxIsClass(a, "int8") || mxIsClass(a, "logical") ||
       mxIsClass(a, "single"))) {
    mexPrintf(" scalar=%.17g", mxGetScalar(a));
  }
  mexPrintf("\n");
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  mexPrintf("nlhs=%d nrhs=%d\n", nlhs, nrhs);
  char where[64];
  for (int i = 0; i < nrhs; ++i) {
    std::snprintf(where, sizeof where, "input %d", i + 1);
    describe(where, prhs[i]);
    if (!mxIsCell(prhs[i])) continue;
    const mwSize n = mxGetNumberOfElements(prhs[i]);
    for (mwSize k = 0; k <= n; ++k) {
      std::snprintf(where, sizeof where, "input %d{%d}", i + 1, static_cast<int>(k + 1));
      describe(where, mxGetCell(prhs[i], k));
    }
  }
  if (nrhs > 0 && mxIsChar(prhs[nrhs - 1]) && mxGetNumberOfElements(prhs[nrhs - 1]) == 5) {
    mexErrMsgIdAndTxt("tilevista:probe", "asked for an error after %d inputs, %s\n", nrhs,
                      "as told");
  }
  mxArray* cells = mxCreateCellMatrix(2, 2);
  mxArray* one = mxCreateDoubleMatrix(1, 1, mxREAL);
  *mxGetPr(one) = -0.0;
  mxSetCell(cells, 0, one);
  mxSetCell(cells, 1, mxCreateUninitNumericMatrix(0, 3, mxDOUBLE_CLASS, mxREAL));
  mxArray* inner = mxCreateCellMatrix(1, 2);
  mxSetCell(inner, 1, mxCreateDoubleMatrix(2, 2, mxREAL));
  mxSetCell(inner, 1, mxCreateDoubleMatrix(1, 3, mxREAL));  // replaces, releasing the first
  mxGetPr(mxGetCell(inner, 1))[2] = 7.5;
  mxSetCell(cells, 3, inner);
  mxSetCell(cells, 4, mxCreateDoubleMatrix(1, 1, mxREAL));  // past the end: ignored
  describe("created", cells);
  describe("created{2}", mxGetCell(cells, 1));
  describe("created{3}", mxGetCell(cells, 2));
  describe("created{5}", mxGetCell(cells, 4));
  plhs[0] = cells;
  if (nlhs > 1) {
    plhs[1] = mxCreateDoubleMatrix(1, 1, mxREAL);
    *mxGetPr(plhs[1]) = 2.5;
  }
  // Not returned: released when the call ends.
  mxCreateCellMatrix(3, 3);
  mxCreateDoubleMatrix(100, 100, mxREAL);
}
