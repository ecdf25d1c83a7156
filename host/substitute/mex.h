// Stand-in for the host's MEX and array interface (libmx/libmex), so that the
// module builds, runs and is tested without MATLAB or Octave.
//
// It follows the real host's conventions: the versioned entry points
// (mxCreateDoubleMatrix_700, ...) are the exported symbols and the plain names
// map to them here, as the host's 32-bit compatibility header does. A gateway
// written against the plain names therefore compiles unchanged against this
// header, GNU Octave's mex.h and MATLAB's.
//
// Arrays are column-major. Created arrays are tracked by the running call (see
// host_call.h): whatever the module creates and does not hand back is reclaimed
// when the call ends, also when it ends with an error.
//
// Creation never returns null: inside a call a failed creation raises a host
// error ("Out of memory: ..."), outside a call it throws std::bad_alloc. Misuse
// that would corrupt memory in the real host (a null or released handle,
// releasing or changing an input during a call, storing one array in two
// places, returning an input) ends the process with a message on stderr.
#ifndef TILEVISTA_SUBSTITUTE_MEX_H
#define TILEVISTA_SUBSTITUTE_MEX_H

// Every failure of these functions (a host error, a creation that cannot be
// satisfied) leaves the call as a C++ exception, never by a long jump: the
// module may ask for arrays while its own threads run (PursuitSink).
#define TILEVISTA_HOST_FAILS_BY_UNWINDING 1

#include <cstddef>
#include <cstdint>

typedef struct mxArray_tag mxArray;
typedef std::size_t mwSize;
typedef std::size_t mwIndex;
typedef std::ptrdiff_t mwSignedIndex;
typedef bool mxLogical;
typedef char16_t mxChar;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

#define TILEVISTA_HOST_API extern "C" __attribute__((visibility("default")))

// ---- Array creation ------------------------------------------------------

/// New m x n double matrix, every element 0.0 (real and, if complex, imaginary).
TILEVISTA_HOST_API mxArray* mxCreateDoubleMatrix_700(mwSize m, mwSize n, mxComplexity flag);
/// New m x n cell array, every element empty (a null handle).
TILEVISTA_HOST_API mxArray* mxCreateCellMatrix_700(mwSize m, mwSize n);
/// New m x n numeric matrix of the given class (double, single, integer), zero-filled.
TILEVISTA_HOST_API mxArray* mxCreateNumericMatrix_700(mwSize m, mwSize n, mxClassID classid,
                                                      mxComplexity flag);
/// New m x n numeric matrix of the given class whose elements are not
/// initialised: the caller writes every one.
TILEVISTA_HOST_API mxArray* mxCreateUninitNumericMatrix(mwSize m, mwSize n, mxClassID classid,
                                                        mxComplexity flag);
/// New m x n logical matrix, all false.
TILEVISTA_HOST_API mxArray* mxCreateLogicalMatrix_700(mwSize m, mwSize n);
/// New m x n sparse double matrix with room for nzmax non-zeros (none stored).
TILEVISTA_HOST_API mxArray* mxCreateSparse_700(mwSize m, mwSize n, mwSize nzmax,
                                               mxComplexity flag);
/// New 1 x 1 real double matrix holding value.
TILEVISTA_HOST_API mxArray* mxCreateDoubleScalar(double value);
/// New 1 x strlen(text) char row vector (0 x 0 for an empty text).
TILEVISTA_HOST_API mxArray* mxCreateString(const char* text);
/// Deep copy of any array; a cell array is copied with copies of all its elements.
TILEVISTA_HOST_API mxArray* mxDuplicateArray(const mxArray* a);
/// Releases an array and, for a cell array, all its elements. Null is ignored.
/// Releasing an element of a cell array empties its place in the cell.
TILEVISTA_HOST_API void mxDestroyArray(mxArray* a);

// ---- Cells ---------------------------------------------------------------

/// The array stored at 0-based linear index i of cell array c (not a copy), or
/// null when that element is empty or i is out of range.
TILEVISTA_HOST_API mxArray* mxGetCell_700(const mxArray* c, mwIndex i);
/// Stores a (may be null) at linear index i of c; c takes ownership of a and
/// releases the element it replaces. An out-of-range index is ignored, and a
/// then stays with its current owner.
TILEVISTA_HOST_API void mxSetCell_700(mxArray* c, mwIndex i, mxArray* a);

// ---- Access --------------------------------------------------------------

/// First double of a double matrix (real part), null for other classes. Never
/// null for an empty double matrix, so it can be passed to memcpy with length 0.
TILEVISTA_HOST_API double* mxGetPr(const mxArray* a);
/// Imaginary part of a complex double matrix, null otherwise.
TILEVISTA_HOST_API double* mxGetPi(const mxArray* a);
/// Raw element storage of a numeric, logical or char matrix (the values of a
/// sparse one); null for a cell array. Never null for an empty matrix.
TILEVISTA_HOST_API void* mxGetData(const mxArray* a);
/// Value of the first real element converted to double; 0.0 when there is none.
TILEVISTA_HOST_API double mxGetScalar(const mxArray* a);
TILEVISTA_HOST_API std::size_t mxGetM(const mxArray* a);
TILEVISTA_HOST_API std::size_t mxGetN(const mxArray* a);
TILEVISTA_HOST_API std::size_t mxGetNumberOfElements(const mxArray* a);
TILEVISTA_HOST_API mxClassID mxGetClassID(const mxArray* a);
/// "double", "single", "cell", "char", "logical", "int8", ... as the host names them.
TILEVISTA_HOST_API const char* mxGetClassName(const mxArray* a);

// ---- Predicates ----------------------------------------------------------

TILEVISTA_HOST_API bool mxIsCell(const mxArray* a);
TILEVISTA_HOST_API bool mxIsEmpty(const mxArray* a);
TILEVISTA_HOST_API bool mxIsDouble(const mxArray* a);
TILEVISTA_HOST_API bool mxIsSingle(const mxArray* a);
TILEVISTA_HOST_API bool mxIsChar(const mxArray* a);
TILEVISTA_HOST_API bool mxIsLogical(const mxArray* a);
TILEVISTA_HOST_API bool mxIsNumeric(const mxArray* a);
TILEVISTA_HOST_API bool mxIsComplex(const mxArray* a);
TILEVISTA_HOST_API bool mxIsSparse(const mxArray* a);
/// True when a is of the named class. As in the real hosts a sparse matrix is of
/// its element class ("double", "logical"); no array is of class "sparse".
TILEVISTA_HOST_API bool mxIsClass(const mxArray* a, const char* name);

// ---- Console and errors --------------------------------------------------

/// printf-style output to the host console: captured by the running call,
/// written to stdout outside a call. Returns the number of characters.
TILEVISTA_HOST_API int mexPrintf(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
/// Raises a host error: the current call ends at once and returns no outputs.
TILEVISTA_HOST_API void mexErrMsgTxt [[noreturn]] (const char* text);
/// As mexErrMsgTxt, with an identifier and a printf-style message.
TILEVISTA_HOST_API void mexErrMsgIdAndTxt [[noreturn]] (const char* id, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// ---- Interrupt -----------------------------------------------------------

/// True while an interrupt of the running call has been requested
/// (host::requestInterrupt): the substitute's counterpart of a real host's
/// interrupt check (Ctrl-C). Cheap; may be polled often.
TILEVISTA_HOST_API bool mexInterruptRequested(void);

// ---- Entry point ---------------------------------------------------------

/// The module's entry point, implemented by the module, called by the host.
TILEVISTA_HOST_API void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

// Plain names map to the versioned entry points, as in the host's own header.
#define mxCreateDoubleMatrix mxCreateDoubleMatrix_700
#define mxCreateCellMatrix mxCreateCellMatrix_700
#define mxCreateNumericMatrix mxCreateNumericMatrix_700
#define mxCreateLogicalMatrix mxCreateLogicalMatrix_700
#define mxCreateSparse mxCreateSparse_700
#define mxGetCell mxGetCell_700
#define mxSetCell mxSetCell_700

#endif  // TILEVISTA_SUBSTITUTE_MEX_H
