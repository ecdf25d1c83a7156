// The mx functions of mex.h over Octave's values, and the handles of the
// running call that they work on.
#include "octave_arrays.h"

#include <octave/ov-re-mat.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

namespace octave_native {
namespace {

using Kind = mxArray_tag::Kind;

CallArrays* running = nullptr;  // only the calling thread calls mx functions

// Held back for the message of an error raised when memory has run out (see
// CallArrays::releaseErrorReserve); never written, so it costs address space,
// not memory.
constexpr std::size_t kErrorReserve = std::size_t{1} << 20;
std::unique_ptr<char[]> errorReserve;

// The function's name for messages, "unknown" outside a call as in Octave's
// MEX layer.
const char* functionName() {
  return running != nullptr ? running->name() : "unknown";
}

// What Octave's MEX layer raises when an array's storage cannot be had; bytes
// as it counts them, elements times element size. Does not return.
[[noreturn]] void raiseAllocationFailure(std::uint64_t bytes) {
  CallArrays::releaseErrorReserve();
  error("%s: failed to allocate %llu bytes of memory", functionName(),
        static_cast<unsigned long long>(bytes));
}

// Misuse of the interface by the module: an Octave error naming it, so that
// the session goes on. Does not return.
[[noreturn]] void raiseMisuse(const char* function, const char* problem) {
  CallArrays::releaseErrorReserve();
  error("%s: %s: %s", functionName(), function, problem);
}

CallArrays& runningCall(const char* function) {
  if (running == nullptr) raiseMisuse(function, "no call is running");
  return *running;
}

// The dimensions of a new m x n array whose elements take elementBytes each;
// an allocation failure when a size is negative or the bytes exceed what
// Octave can index.
dim_vector newDimensions(mwSize m, mwSize n, std::size_t elementBytes) {
  const auto limit = static_cast<std::uint64_t>(std::numeric_limits<octave_idx_type>::max());
  const bool fits = m >= 0 && n >= 0 &&
                    (n == 0 || static_cast<std::uint64_t>(m) <=
                                   limit / elementBytes / static_cast<std::uint64_t>(n));
  if (!fits) raiseAllocationFailure(std::numeric_limits<std::uint64_t>::max());
  return dim_vector(static_cast<octave_idx_type>(m), static_cast<octave_idx_type>(n));
}

std::uint64_t bytesOf(const dim_vector& dims, std::size_t elementBytes) {
  return static_cast<std::uint64_t>(dims.numel()) * elementBytes;
}

// A new real double matrix of m x n, zero-filled (Octave value-initialises
// its arrays' elements).
mxArray_tag* createNumbers(mwSize m, mwSize n, mxClassID classid, mxComplexity flag,
                           const char* function) {
  if (classid != mxDOUBLE_CLASS || flag != mxREAL) {
    raiseMisuse(function, "this host creates real double matrices only");
  }
  CallArrays& call = runningCall(function);
  const dim_vector dims = newDimensions(m, n, sizeof(double));
  try {
    mxArray_tag* a = call.make(Kind::kNumbers);
    NDArray numbers(dims);
    // The only reference yet: fortran_vec does not copy. The matrix keeps the
    // storage when numbers goes; made directly, it is not narrowed.
    a->data = numbers.fortran_vec();
    a->dataKnown = true;
    a->created = octave_value(new octave_matrix(numbers));
    return a;
  } catch (const std::bad_alloc&) {
    raiseAllocationFailure(bytesOf(dims, sizeof(double)));
  }
}

// The caller's value behind an input handle.
const octave_value& inputValue(const mxArray_tag* a) { return *a->input; }

const mxArray_tag& checked(const mxArray_tag* a, const char* function) {
  if (a == nullptr) raiseMisuse(function, "null array");
  if (a->kind == Kind::kReleased) raiseMisuse(function, "the array was released");
  return *a;
}

dim_vector dimensionsOf(const mxArray_tag& a) {
  switch (a.kind) {
    case Kind::kNumbers: return a.created.dims();
    case Kind::kCells: return a.cells->dims();
    default: return inputValue(&a).dims();
  }
}

// The input's numbers as mxGetPr gives them: where Octave keeps a real full
// matrix or the stored values of a real sparse one (shared, and only read
// through const access, which never unshares), a copy of the real parts of a
// complex one; null for other classes.
double* inputNumbers(mxArray_tag& a) {
  const octave_value& v = inputValue(&a);
  if (!v.is_double_type()) return nullptr;
  if (v.issparse() && !v.iscomplex()) {
    // Shares the caller's storage, which keeps it alive after this copy.
    const SparseMatrix values = v.sparse_matrix_value();
    return values.data();
  }
  if (v.issparse()) {
    const SparseComplexMatrix values = v.sparse_complex_matrix_value();
    const octave_idx_type stored = values.nnz();
    a.numbers.emplace(dim_vector(stored, 1));
    double* re = a.numbers->fortran_vec();  // the only reference: no copy
    for (octave_idx_type k = 0; k < stored; ++k) re[k] = values.data()[k].real();
    return re;
  }
  if (v.iscomplex()) {
    a.numbers.emplace(real(v.complex_array_value()));
  } else {
    a.numbers.emplace(v.array_value());
  }
  // A matrix shares the caller's storage; read-only access keeps it shared.
  return const_cast<double*>(a.numbers->data());
}

}  // namespace

// ---- CallArrays ----------------------------------------------------------

CallArrays::CallArrays(const char* name) : name_(name), outer_(running) {
  running = this;
  if (!errorReserve) errorReserve.reset(new (std::nothrow) char[kErrorReserve]);
}

void CallArrays::releaseErrorReserve() { errorReserve.reset(); }

CallArrays::~CallArrays() { running = outer_; }

CallArrays* CallArrays::current() { return running; }

mxArray_tag* CallArrays::make(mxArray_tag::Kind kind) {
  if (usedInLast_ == kChunk) {
    chunks_.emplace_back(new mxArray_tag[kChunk]);
    usedInLast_ = 0;
  }
  mxArray_tag* a = &chunks_.back()[usedInLast_++];
  a->kind = kind;
  return a;
}

const char* CallArrays::keep(std::string text) {
  kept_.push_back(std::move(text));
  return kept_.back().c_str();
}

mxArray_tag* CallArrays::wrapInput(const octave_value& value) {
  mxArray_tag* a = make(Kind::kInput);
  a->input = &value;
  return a;
}

octave_value CallArrays::valueOf(mxArray_tag* a) {
  switch (a->kind) {
    case Kind::kInput: return *a->input;
    case Kind::kNumbers:
      // A 1 x 1 matrix goes back as a scalar, as Octave's MEX layer returns it.
      return a->created.numel() == 1 ? octave_value(a->data[0]) : a->created;
    case Kind::kCells: {
      Cell& cells = *a->cells;
      for (std::size_t i = 0; i < a->elements.size(); ++i) {
        if (a->elements[i] != nullptr) {
          cells.xelem(static_cast<octave_idx_type>(i)) = valueOf(a->elements[i]);
        }
      }
      return octave_value(cells);
    }
    default: return octave_value();
  }
}

void CallArrays::release(mxArray_tag* a) {
  if (a->kind == Kind::kInput || a->kind == Kind::kReleased) return;
  for (mxArray_tag* element : a->elements) {
    if (element != nullptr) release(element);
  }
  a->elements = std::vector<mxArray_tag*>();
  a->created = octave_value();
  a->numbers.reset();
  a->cells.reset();
  a->data = nullptr;
  a->kind = Kind::kReleased;
}

}  // namespace octave_native

using octave_native::CallArrays;
using octave_native::Kind;

// ---- Array creation ------------------------------------------------------

mxArray_tag* mxCreateDoubleMatrix_700(mwSize m, mwSize n, mxComplexity flag) {
  return octave_native::createNumbers(m, n, mxDOUBLE_CLASS, flag, "mxCreateDoubleMatrix");
}

mxArray_tag* mxCreateUninitNumericMatrix(mwSize m, mwSize n, mxClassID classid,
                                         mxComplexity flag) {
  return octave_native::createNumbers(m, n, classid, flag, "mxCreateUninitNumericMatrix");
}

mxArray_tag* mxCreateCellMatrix_700(mwSize m, mwSize n) {
  CallArrays& call = octave_native::runningCall("mxCreateCellMatrix");
  const dim_vector dims = octave_native::newDimensions(m, n, sizeof(mxArray_tag*));
  try {
    mxArray_tag* a = call.make(Kind::kCells);
    a->cells.emplace(dims);  // every element [], as an unset element is returned
    a->elements.assign(static_cast<std::size_t>(dims.numel()), nullptr);
    return a;
  } catch (const std::bad_alloc&) {
    octave_native::raiseAllocationFailure(octave_native::bytesOf(dims, sizeof(mxArray_tag*)));
  }
}

// ---- Cells ---------------------------------------------------------------

mxArray_tag* mxGetCell_700(const mxArray_tag* c, mwIndex i) {
  mxArray_tag& cell = const_cast<mxArray_tag&>(octave_native::checked(c, "mxGetCell"));
  if (cell.kind == Kind::kInput) {
    const octave_value& v = octave_native::inputValue(&cell);
    if (!v.iscell()) return nullptr;
    if (!cell.cells) {
      // The caller's cells, shared: their elements are the caller's values.
      cell.cells.emplace(v.cell_value());
      cell.elements.assign(static_cast<std::size_t>(cell.cells->numel()), nullptr);
    }
  }
  if (cell.kind != Kind::kCells && cell.kind != Kind::kInput) return nullptr;
  if (i < 0 || static_cast<std::size_t>(i) >= cell.elements.size()) return nullptr;
  mxArray_tag*& element = cell.elements[static_cast<std::size_t>(i)];
  if (element == nullptr && cell.kind == Kind::kInput) {
    const Cell& cells = *cell.cells;
    element = octave_native::runningCall("mxGetCell").wrapInput(cells(i));
  }
  return element;
}

void mxSetCell_700(mxArray_tag* c, mwIndex i, mxArray_tag* a) {
  mxArray_tag& cell = const_cast<mxArray_tag&>(octave_native::checked(c, "mxSetCell"));
  if (cell.kind != Kind::kCells) {
    octave_native::raiseMisuse("mxSetCell", "not a cell array created by this call");
  }
  if (i < 0 || static_cast<std::size_t>(i) >= cell.elements.size()) return;
  mxArray_tag*& element = cell.elements[static_cast<std::size_t>(i)];
  if (element != nullptr && element != a) CallArrays::release(element);
  element = a;
}

// ---- Access --------------------------------------------------------------

double* mxGetPr(const mxArray_tag* a) {
  mxArray_tag& x = const_cast<mxArray_tag&>(octave_native::checked(a, "mxGetPr"));
  if (!x.dataKnown) {
    x.data = x.kind == Kind::kInput ? octave_native::inputNumbers(x) : nullptr;
    x.dataKnown = true;
  }
  return x.data;
}

double mxGetScalar(const mxArray_tag* a) {
  const mxArray_tag& x = octave_native::checked(a, "mxGetScalar");
  switch (x.kind) {
    case Kind::kNumbers: return x.created.numel() > 0 ? x.data[0] : 0.0;
    case Kind::kCells: return 0.0;
    default: break;
  }
  const octave_value& v = octave_native::inputValue(&x);
  if (v.isempty() || !(v.isnumeric() || v.islogical() || v.is_string())) return 0.0;
  if (v.issparse()) {
    // The first stored value, the first non-zero in column order.
    // Held as const: reading a sparse matrix through non-const access copies it.
    if (v.nnz() == 0) return 0.0;
    if (v.islogical()) {
      const SparseBoolMatrix values = v.sparse_bool_matrix_value();
      return values.data()[0] ? 1.0 : 0.0;
    }
    if (v.iscomplex()) {
      const SparseComplexMatrix values = v.sparse_complex_matrix_value();
      return values.data()[0].real();
    }
    const SparseMatrix values = v.sparse_matrix_value();
    return values.data()[0];
  }
  const octave_value first = v.fast_elem_extract(0);
  if (first.iscomplex()) return first.complex_value().real();
  return first.double_value(true);
}

std::size_t mxGetM(const mxArray_tag* a) {
  return static_cast<std::size_t>(octave_native::dimensionsOf(octave_native::checked(a, "mxGetM"))(0));
}

std::size_t mxGetN(const mxArray_tag* a) {
  const dim_vector dims = octave_native::dimensionsOf(octave_native::checked(a, "mxGetN"));
  std::size_t n = 1;
  for (int k = 1; k < dims.ndims(); ++k) n *= static_cast<std::size_t>(dims(k));
  return n;
}

std::size_t mxGetNumberOfElements(const mxArray_tag* a) {
  const mxArray_tag& x = octave_native::checked(a, "mxGetNumberOfElements");
  // An input answers as Octave does (a function handle has one element).
  if (x.kind == Kind::kInput) return static_cast<std::size_t>(octave_native::inputValue(&x).numel());
  return static_cast<std::size_t>(octave_native::dimensionsOf(x).numel());
}

const char* mxGetClassName(const mxArray_tag* a) {
  mxArray_tag& x = const_cast<mxArray_tag&>(octave_native::checked(a, "mxGetClassName"));
  switch (x.kind) {
    case Kind::kNumbers: return "double";
    case Kind::kCells: return "cell";
    default: break;
  }
  // Octave names the class in a string of its own; the call keeps a copy
  // for as long as the module may read it.
  return octave_native::runningCall("mxGetClassName").keep(octave_native::inputValue(&x).class_name());
}

// ---- Predicates ----------------------------------------------------------

bool mxIsCell(const mxArray_tag* a) {
  const mxArray_tag& x = octave_native::checked(a, "mxIsCell");
  return x.kind == Kind::kCells || (x.kind == Kind::kInput && octave_native::inputValue(&x).iscell());
}

bool mxIsEmpty(const mxArray_tag* a) {
  const mxArray_tag& x = octave_native::checked(a, "mxIsEmpty");
  if (x.kind == Kind::kInput) return octave_native::inputValue(&x).isempty();
  return octave_native::dimensionsOf(x).any_zero();
}

bool mxIsDouble(const mxArray_tag* a) {
  const mxArray_tag& x = octave_native::checked(a, "mxIsDouble");
  return x.kind == Kind::kNumbers ||
         (x.kind == Kind::kInput && octave_native::inputValue(&x).is_double_type());
}

bool mxIsChar(const mxArray_tag* a) {
  const mxArray_tag& x = octave_native::checked(a, "mxIsChar");
  return x.kind == Kind::kInput && octave_native::inputValue(&x).is_string();
}

bool mxIsComplex(const mxArray_tag* a) {
  const mxArray_tag& x = octave_native::checked(a, "mxIsComplex");
  return x.kind == Kind::kInput && octave_native::inputValue(&x).iscomplex();
}

bool mxIsSparse(const mxArray_tag* a) {
  const mxArray_tag& x = octave_native::checked(a, "mxIsSparse");
  return x.kind == Kind::kInput && octave_native::inputValue(&x).issparse();
}

bool mxIsClass(const mxArray_tag* a, const char* name) {
  const char* own = mxGetClassName(a);
  return name != nullptr && std::strcmp(own, name) == 0;
}
