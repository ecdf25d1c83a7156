// The mx/mex interface the gateway uses, implemented over GNU Octave's own
// values, for the module built as an Octave function file (TILEVISTA_Mex.oct).
//
// An array the module creates is an Octave NDArray or Cell from the start:
// the module writes its numbers in place through mxGetPr, and the outputs go
// back to Octave sharing that storage, without a copy. An input is a handle on
// the caller's octave_value; its numbers are read where Octave keeps them.
// Every handle belongs to the running call (see octave_call.h): what the
// module creates and does not return is released when the call ends, also
// when it ends with an error or an interrupt.
//
// The semantics are those of the substitute host's mex.h (host/substitute/),
// with Octave's MEX layer's behaviour where the two hosts differ: errors carry
// the function's name ("TILEVISTA_Mex: ..."), a cell of an input is never
// empty (an empty element is a 0 x 0 double), a creation that fails raises
// "TILEVISTA_Mex: failed to allocate N bytes of memory". Only real double
// matrices and cell arrays can be created. Only the thread that runs the call
// may use these functions.
//
// Octave's own mex.h is guarded by octave_mex_h, and code written for Octave's
// MEX interface tests that macro for Octave's interrupt state (Ctrl-C). This
// header takes the place of Octave's mex.h in the .oct build, so it defines the
// same guard: the gateway's Octave branches apply unchanged, and Octave's
// mex.h, if it were included as well, would add nothing.
#ifndef TILEVISTA_OCTAVE_NATIVE_MEX_H
#define TILEVISTA_OCTAVE_NATIVE_MEX_H

#define octave_mex_h 1

// Octave's errors and interrupts are C++ exceptions, and so is every failure
// of these functions: the module may ask for arrays while its own threads run
// (PursuitSink).
#define TILEVISTA_HOST_FAILS_BY_UNWINDING 1

#include <cstddef>

// Octave's own element classes, complexity flags and sizes (mwSize and
// mwIndex are 64-bit signed, as in Octave's MEX interface).
#include <octave/mxtypes.h>

// Octave's headers declare a class mxArray of their own (its MEX layer's), so
// the handle type is mxArray_tag, and the name mxArray is given to it only
// where no Octave value header is seen: in the gateway and the module, not in
// this host's own files, which define TILEVISTA_OCTAVE_NATIVE_HOST.
struct mxArray_tag;
#if !defined(TILEVISTA_OCTAVE_NATIVE_HOST)
typedef mxArray_tag mxArray;
#endif

// C++ names, private to the .oct: Octave's own library exports C functions of
// the same names, which these must neither call nor replace.
#define TILEVISTA_NATIVE_API __attribute__((visibility("hidden")))

// ---- Array creation ------------------------------------------------------

/// New m x n real double matrix, every element 0.0. flag must be mxREAL.
TILEVISTA_NATIVE_API mxArray_tag* mxCreateDoubleMatrix_700(mwSize m, mwSize n, mxComplexity flag);
/// New m x n cell array, every element empty (mxGetCell gives null).
TILEVISTA_NATIVE_API mxArray_tag* mxCreateCellMatrix_700(mwSize m, mwSize n);
/// New m x n matrix of class classid whose elements the caller writes, every
/// one. Only mxDOUBLE_CLASS with mxREAL.
TILEVISTA_NATIVE_API mxArray_tag* mxCreateUninitNumericMatrix(mwSize m, mwSize n, mxClassID classid,
                                                          mxComplexity flag);

// ---- Cells ---------------------------------------------------------------

/// The array at 0-based linear index i of cell array c (not a copy), or null
/// when that element of a created cell was not set or i is out of range.
TILEVISTA_NATIVE_API mxArray_tag* mxGetCell_700(const mxArray_tag* c, mwIndex i);
/// Stores a at linear index i of c, a cell array the call created; c takes
/// ownership of a and releases the element it replaces. An out-of-range index
/// is ignored.
TILEVISTA_NATIVE_API void mxSetCell_700(mxArray_tag* c, mwIndex i, mxArray_tag* a);

// ---- Access --------------------------------------------------------------

/// First element of a real double matrix, where Octave keeps it (inputs are
/// only read); for a complex double input, a real-part copy; null for other
/// classes. Never null for an empty double matrix.
TILEVISTA_NATIVE_API double* mxGetPr(const mxArray_tag* a);
/// Value of the first element converted to double (real part; for a sparse
/// matrix the first stored value); 0.0 when there is none or a has no numbers.
TILEVISTA_NATIVE_API double mxGetScalar(const mxArray_tag* a);
/// Rows; columns, all dimensions after the first multiplied; elements.
TILEVISTA_NATIVE_API std::size_t mxGetM(const mxArray_tag* a);
TILEVISTA_NATIVE_API std::size_t mxGetN(const mxArray_tag* a);
TILEVISTA_NATIVE_API std::size_t mxGetNumberOfElements(const mxArray_tag* a);
/// "double", "cell", "char", "logical", "struct", "function_handle", "int8",
/// ... as Octave's class() names them.
TILEVISTA_NATIVE_API const char* mxGetClassName(const mxArray_tag* a);

// ---- Predicates ----------------------------------------------------------

TILEVISTA_NATIVE_API bool mxIsCell(const mxArray_tag* a);
TILEVISTA_NATIVE_API bool mxIsEmpty(const mxArray_tag* a);
TILEVISTA_NATIVE_API bool mxIsDouble(const mxArray_tag* a);
TILEVISTA_NATIVE_API bool mxIsChar(const mxArray_tag* a);
TILEVISTA_NATIVE_API bool mxIsComplex(const mxArray_tag* a);
TILEVISTA_NATIVE_API bool mxIsSparse(const mxArray_tag* a);
/// True when a is of the named class; a sparse matrix is of its element
/// class, so no array is of class "sparse".
TILEVISTA_NATIVE_API bool mxIsClass(const mxArray_tag* a, const char* name);

// ---- Console and errors --------------------------------------------------

/// printf-style output to Octave's console (what evalc captures). Returns
/// the number of characters.
TILEVISTA_NATIVE_API int mexPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Raises an Octave error "NAME: text" (a final line feed dropped, and then
/// no traceback): the call ends at once and returns no outputs.
[[noreturn]] TILEVISTA_NATIVE_API void mexErrMsgTxt(const char* text);
/// As mexErrMsgTxt, with an identifier and a printf-style message.
[[noreturn]] TILEVISTA_NATIVE_API void mexErrMsgIdAndTxt(const char* id, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// ---- Entry point ---------------------------------------------------------

/// The module's entry point, implemented by the gateway, called by the
/// function of the .oct (see octave_call.h).
extern "C" void mexFunction(int nlhs, mxArray_tag* plhs[], int nrhs, const mxArray_tag* prhs[]);

// Plain names map to the versioned entry points, as in the hosts' headers.
#define mxCreateDoubleMatrix mxCreateDoubleMatrix_700
#define mxCreateCellMatrix mxCreateCellMatrix_700
#define mxGetCell mxGetCell_700
#define mxSetCell mxSetCell_700

#endif  // TILEVISTA_OCTAVE_NATIVE_MEX_H
