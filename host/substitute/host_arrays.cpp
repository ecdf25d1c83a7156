// Arrays, console and errors of the substitute host, and the bookkeeping that
// ties created arrays to the running call.
//
// Every array is a node in a pool of slots that are never returned to the
// system: a handle is a live array when it is a slot whose node carries the live
// marker. While a call runs, each newly created top-level array is also linked
// into the call's list; storing it in a cell moves it under the cell, and at the
// end of the call whatever the module did not hand back is released (see
// call_scope.h). Both checks touch only the node itself and its neighbours in
// that list, so creating an array costs the same however many exist.
//
// Misuse that the real host would answer with memory corruption (releasing an
// input, storing one array in two places, using a released array, ...) ends
// the process with a message on stderr instead, so that a module fault cannot
// go unnoticed in the tests.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "call_scope.h"
#include "host_call.h"
#include "mex.h"
#include "node_pool.h"

namespace {

// Element storage from calloc: zero-filled and aligned for every element type;
// `shift` bytes into the allocation when the arrays are placed
// (host::setArrayPlacement).
struct FreeDeleter {
  std::size_t shift = 0;
  void operator()(void* p) const { std::free(static_cast<unsigned char*>(p) - shift); }
};
using Storage = std::unique_ptr<void, FreeDeleter>;

// Placement of new arrays' elements: at this many bytes past a 64-byte
// boundary, or where the allocator puts them (kAnywhere).
constexpr std::size_t kAnywhere = SIZE_MAX;
constexpr std::size_t kPlacementLine = 64;
std::atomic<std::size_t> placement{kAnywhere};

// Marks a node as live; cleared on release so that a stale handle is caught.
constexpr std::uint32_t kLiveTag = 0x7e1a5a11u;

// Arrays above this size are refused as out of memory before the allocator is
// asked, so that an absurd size is a host error rather than an allocator abort
// (the sanitizers' allocators abort on requests of 1 TiB and more).
constexpr std::size_t kMaxArrayBytes = std::size_t{1} << 39;

}  // namespace

struct mxArray_tag {
  // Nodes live in the host's pool (see state()).
  static void* operator new(std::size_t size);
  static void operator delete(void* p) noexcept;

  std::uint32_t tag = kLiveTag;  // first, so that a released slot can be read for it
  mxClassID classId = mxUNKNOWN_CLASS;
  bool complex = false;
  bool sparse = false;
  std::size_t m = 0;
  std::size_t n = 0;
  Storage real;  // m*n elements (dense) or nzmax values (sparse)
  Storage imag;  // as real, complex arrays only
  Storage ir;    // sparse: nzmax row indices
  Storage jc;    // sparse: n + 1 column starts
  std::size_t nzmax = 0;
  std::vector<mxArray*> cells;  // cell arrays: m*n elements, null = empty
  mxArray* owner = nullptr;     // the cell array this one is stored in, if any
  // Links in the running call's list of top-level arrays it created.
  bool createdInCall = false;
  mxArray* callPrev = nullptr;
  mxArray* callNext = nullptr;
};

namespace {

struct CallState {
  mxArray* created = nullptr;  // first of the top-level arrays created in the call
  std::string console;
  host::ConsoleEcho echo;  // also gets the console text as it is printed
  std::size_t bytes = 0;   // element storage allocated during the call
};

struct HostState {
  NodePool nodes{sizeof(mxArray)};
  std::size_t live = 0;             // arrays not yet released
  std::unique_ptr<CallState> call;  // null outside a call
};

// Never destroyed, so that arrays released during static destruction (an
// owning handle in a global) still find the state.
HostState& state() {
  static HostState* s = new HostState;
  return *s;
}

[[noreturn]] __attribute__((format(printf, 2, 3))) void misuse(const char* function,
                                                                 const char* format, ...) {
  std::fprintf(stderr, "substitute host: misuse in %s: ", function);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

// True when a is a node of the pool that has not been released. Decided without
// reading anything but pool slots, so that any pointer may be asked about.
bool isLive(const mxArray* a) {
  if (a == nullptr || !state().nodes.isSlot(a)) return false;
  std::uint32_t tag = 0;
  std::memcpy(&tag, a, sizeof tag);  // the slot's bytes, whether or not a node is in it
  return tag == kLiveTag;
}

void linkCreated(CallState& call, mxArray* a) {
  a->createdInCall = true;
  a->callPrev = nullptr;
  a->callNext = call.created;
  if (call.created != nullptr) call.created->callPrev = a;
  call.created = a;
}

void unlinkCreated(CallState& call, mxArray* a) {
  if (!a->createdInCall) return;
  if (a->callPrev != nullptr) {
    a->callPrev->callNext = a->callNext;
  } else {
    call.created = a->callNext;
  }
  if (a->callNext != nullptr) a->callNext->callPrev = a->callPrev;
  a->callPrev = a->callNext = nullptr;
  a->createdInCall = false;
}

const mxArray& checked(const mxArray* a, const char* function) {
  if (a == nullptr) misuse(function, "null array");
  if (a->tag != kLiveTag) misuse(function, "not a live array (already released?)");
  return *a;
}

mxArray& checkedMutable(mxArray* a, const char* function) {
  checked(a, function);
  return *a;
}

const char* className(mxClassID id) {
  switch (id) {
    case mxCELL_CLASS: return "cell";
    case mxSTRUCT_CLASS: return "struct";
    case mxLOGICAL_CLASS: return "logical";
    case mxCHAR_CLASS: return "char";
    case mxVOID_CLASS: return "void";
    case mxDOUBLE_CLASS: return "double";
    case mxSINGLE_CLASS: return "single";
    case mxINT8_CLASS: return "int8";
    case mxUINT8_CLASS: return "uint8";
    case mxINT16_CLASS: return "int16";
    case mxUINT16_CLASS: return "uint16";
    case mxINT32_CLASS: return "int32";
    case mxUINT32_CLASS: return "uint32";
    case mxINT64_CLASS: return "int64";
    case mxUINT64_CLASS: return "uint64";
    case mxFUNCTION_CLASS: return "function_handle";
    case mxUNKNOWN_CLASS: break;
  }
  return "unknown";
}

// Bytes per element of the classes with element storage; 0 for the others.
std::size_t elementSize(mxClassID id) {
  switch (id) {
    case mxLOGICAL_CLASS: return sizeof(mxLogical);
    case mxCHAR_CLASS: return sizeof(mxChar);
    case mxDOUBLE_CLASS: return sizeof(double);
    case mxSINGLE_CLASS: return sizeof(float);
    case mxINT8_CLASS:
    case mxUINT8_CLASS: return 1;
    case mxINT16_CLASS:
    case mxUINT16_CLASS: return 2;
    case mxINT32_CLASS:
    case mxUINT32_CLASS: return 4;
    case mxINT64_CLASS:
    case mxUINT64_CLASS: return 8;
    default: return 0;
  }
}

bool isNumericClass(mxClassID id) {
  return id == mxDOUBLE_CLASS || id == mxSINGLE_CLASS ||
         (id >= mxINT8_CLASS && id <= mxUINT64_CLASS);
}

// a * b, throwing std::bad_alloc when the product overflows.
std::size_t product(std::size_t a, std::size_t b) {
  std::size_t result = 0;
  if (__builtin_mul_overflow(a, b, &result)) throw std::bad_alloc();
  return result;
}

// Storage for count elements of size bytes, zero-filled unless `zeroed` is
// false. At least one element is allocated, so that even an empty array has a
// valid data pointer (module code may pass it to memcpy with a length of 0).
Storage allocate(std::size_t count, std::size_t size, bool zeroed = true) {
  if (product(count, size) > kMaxArrayBytes) throw std::bad_alloc();
  const std::size_t n = std::max<std::size_t>(count, 1);
  if (state().call) state().call->bytes += n * size;
  const std::size_t offset = placement.load(std::memory_order_relaxed);
  if (offset == kAnywhere) {
    void* p = zeroed ? std::calloc(n, size) : std::malloc(n * size);
    if (p == nullptr) throw std::bad_alloc();
    return Storage(p);
  }
  const std::size_t extra = kPlacementLine + offset;
  void* raw = zeroed ? std::calloc(n * size + extra, 1) : std::malloc(n * size + extra);
  if (raw == nullptr) throw std::bad_alloc();
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t placed =
      (address + kPlacementLine - 1) / kPlacementLine * kPlacementLine + offset;
  return Storage(reinterpret_cast<void*>(placed), FreeDeleter{placed - address});
}

// A real host's memory manager keeps the memory of released arrays for the
// next ones. glibc's allocator instead gives the top of its heap back to the
// system as soon as 128 KiB of it are free, so in a loop of calls the release
// of one call's outputs unmapped pages that the next call's outputs then
// faulted in again (about 2,000 faults a call on the bundled image). Here the
// heap is trimmed only past the last call's element storage; arrays below
// glibc's largest dynamic mmap threshold (32 MiB) come from the heap, as they
// would once glibc had raised it. Process-wide settings, but this host is
// the standalone build's and the tests' own process.
static void keepFreedForNextCall(std::size_t callBytes) noexcept {
#if defined(__GLIBC__)
  constexpr std::size_t kLeastTrim = std::size_t{128} << 10, kMmapAbove = std::size_t{32} << 20;
  const std::size_t keep = std::min<std::size_t>(std::max(callBytes, kLeastTrim), INT_MAX);
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kMmapAbove));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(keep));
#else
  (void)callBytes;
#endif
}

// A failed creation: inside a call a host error, as the real host raises it;
// outside a call (the caller building inputs) std::bad_alloc.
[[noreturn]] void outOfMemory(std::size_t m, std::size_t n, const char* kind) {
  if (!state().call) throw std::bad_alloc();
  char text[160];
  std::snprintf(text, sizeof text, "Out of memory: cannot create a %zu x %zu %s array.", m, n,
                kind);
  throw host::detail::HostError(text);
}

// Counts a finished node as live (not yet as the call's).
mxArray* registerLive(std::unique_ptr<mxArray> node) {
  ++state().live;
  return node.release();
}

// Releases a and its elements, whoever holds them. Never throws.
void destroyTree(mxArray* a) noexcept {
  for (mxArray* element : a->cells) {
    if (element != nullptr) destroyTree(element);
  }
  --state().live;
  delete a;
}

// Makes a new top-level array one of the running call's.
mxArray* trackInCall(mxArray* a) {
  HostState& s = state();
  if (s.call) linkCreated(*s.call, a);
  return a;
}

mxArray* adopt(std::unique_ptr<mxArray> node) { return trackInCall(registerLive(std::move(node))); }

// Dense m x n array of the given class; throws std::bad_alloc.
mxArray* newDense(std::size_t m, std::size_t n, mxClassID id, bool complex, bool zeroed) {
  auto node = std::make_unique<mxArray>();
  node->classId = id;
  node->complex = complex;
  node->m = m;
  node->n = n;
  const std::size_t count = product(m, n);
  node->real = allocate(count, elementSize(id), zeroed);
  if (complex) node->imag = allocate(count, elementSize(id), zeroed);
  return adopt(std::move(node));
}

mxArray* createDense(std::size_t m, std::size_t n, mxClassID id, bool complex,
                     bool zeroed = true) {
  try {
    return newDense(m, n, id, complex, zeroed);
  } catch (const std::bad_alloc&) {
    outOfMemory(m, n, className(id));
  }
}

// Number of elements held in a node's value storage.
std::size_t storedCount(const mxArray& a) { return a.sparse ? a.nzmax : a.m * a.n; }

Storage copyStorage(const Storage& from, std::size_t count, std::size_t size) {
  if (!from) return Storage();
  Storage to = allocate(count, size);
  std::memcpy(to.get(), from.get(), count * size);
  return to;
}

// Deep copy of src, every node registered as live; throws std::bad_alloc and
// then leaves nothing behind.
mxArray* copyTree(const mxArray& src) {
  auto node = std::make_unique<mxArray>();
  node->classId = src.classId;
  node->complex = src.complex;
  node->sparse = src.sparse;
  node->m = src.m;
  node->n = src.n;
  node->nzmax = src.nzmax;
  const std::size_t count = storedCount(src);
  node->real = copyStorage(src.real, count, elementSize(src.classId));
  node->imag = copyStorage(src.imag, count, elementSize(src.classId));
  node->ir = copyStorage(src.ir, src.nzmax, sizeof(mwIndex));
  node->jc = copyStorage(src.jc, src.n + 1, sizeof(mwIndex));
  node->cells.assign(src.cells.size(), nullptr);
  mxArray* copy = registerLive(std::move(node));
  try {
    for (std::size_t i = 0; i < src.cells.size(); ++i) {
      if (src.cells[i] == nullptr) continue;
      copy->cells[i] = copyTree(*src.cells[i]);
      copy->cells[i]->owner = copy;
    }
  } catch (const std::bad_alloc&) {
    destroyTree(copy);
    throw;
  }
  return copy;
}

mxArray* root(mxArray* a) {
  while (a->owner != nullptr) a = a->owner;
  return a;
}

// During a call the module may change or release only what it created in
// this call; inputs and anything reachable from them are the caller's.
void requireOwnedByCall(mxArray* a, const char* function, const char* which) {
  HostState& s = state();
  if (s.call && !root(a)->createdInCall) {
    misuse(function, "%s was not created during this call (an input?)", which);
  }
}

std::string vformat(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  char small[256];
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  std::string text;
  if (needed >= 0 && static_cast<std::size_t>(needed) < sizeof small) {
    text.assign(small, static_cast<std::size_t>(needed));
  } else if (needed >= 0) {
    text.resize(static_cast<std::size_t>(needed));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

[[noreturn]] void raiseHostError(const char* function, std::string text,
                                 std::string identifier = std::string()) {
  if (!state().call) misuse(function, "host error outside a call: %s", text.c_str());
  throw host::detail::HostError(std::move(text), std::move(identifier));
}

}  // namespace

void* mxArray_tag::operator new(std::size_t size) {
  if (size != sizeof(mxArray_tag)) throw std::bad_alloc();
  return state().nodes.take();
}

// Clears the live marker before the slot goes back, so that a stale handle to
// it is recognised even when the node was never counted as live.
void mxArray_tag::operator delete(void* p) noexcept {
  if (p == nullptr) return;
  const std::uint32_t released = 0;
  std::memcpy(p, &released, sizeof released);
  state().nodes.give(p);
}

// ---- Array creation ------------------------------------------------------

mxArray* mxCreateDoubleMatrix_700(mwSize m, mwSize n, mxComplexity flag) {
  return createDense(m, n, mxDOUBLE_CLASS, flag != mxREAL);
}

mxArray* mxCreateCellMatrix_700(mwSize m, mwSize n) {
  try {
    auto node = std::make_unique<mxArray>();
    node->classId = mxCELL_CLASS;
    node->m = m;
    node->n = n;
    const std::size_t count = product(m, n);
    if (product(count, sizeof(mxArray*)) > kMaxArrayBytes) throw std::bad_alloc();
    node->cells.assign(count, nullptr);
    return adopt(std::move(node));
  } catch (const std::bad_alloc&) {
    outOfMemory(m, n, "cell");
  }
}

mxArray* mxCreateNumericMatrix_700(mwSize m, mwSize n, mxClassID classid, mxComplexity flag) {
  if (!isNumericClass(classid)) {
    misuse("mxCreateNumericMatrix", "class %d is not a numeric class", static_cast<int>(classid));
  }
  return createDense(m, n, classid, flag != mxREAL);
}

mxArray* mxCreateUninitNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity flag) {
  if (!isNumericClass(classid)) {
    misuse("mxCreateUninitNumericMatrix", "class %d is not a numeric class",
           static_cast<int>(classid));
  }
  return createDense(m, n, classid, flag != mxREAL, false);
}

mxArray* mxCreateLogicalMatrix_700(mwSize m, mwSize n) {
  return createDense(m, n, mxLOGICAL_CLASS, false);
}

mxArray* mxCreateSparse_700(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag) {
  try {
    auto node = std::make_unique<mxArray>();
    node->classId = mxDOUBLE_CLASS;
    node->sparse = true;
    node->complex = flag != mxREAL;
    node->m = m;
    node->n = n;
    product(m, n);  // the element count must be representable
    // Room for at least one value, as the real host gives.
    node->nzmax = std::max<std::size_t>(nzmax, 1);
    node->real = allocate(node->nzmax, sizeof(double));
    if (node->complex) node->imag = allocate(node->nzmax, sizeof(double));
    node->ir = allocate(node->nzmax, sizeof(mwIndex));
    if (n == SIZE_MAX) throw std::bad_alloc();
    node->jc = allocate(n + 1, sizeof(mwIndex));
    return adopt(std::move(node));
  } catch (const std::bad_alloc&) {
    outOfMemory(m, n, "sparse");
  }
}

mxArray* mxCreateDoubleScalar(double value) {
  mxArray* a = createDense(1, 1, mxDOUBLE_CLASS, false);
  *static_cast<double*>(a->real.get()) = value;
  return a;
}

mxArray* mxCreateString(const char* text) {
  if (text == nullptr) misuse("mxCreateString", "null text");
  const std::size_t length = std::strlen(text);
  mxArray* a = createDense(length == 0 ? 0 : 1, length, mxCHAR_CLASS, false);
  // Byte by byte: each byte is one character (ASCII and Latin-1 texts).
  mxChar* chars = static_cast<mxChar*>(a->real.get());
  for (std::size_t k = 0; k < length; ++k) {
    chars[k] = static_cast<mxChar>(static_cast<unsigned char>(text[k]));
  }
  return a;
}

mxArray* mxDuplicateArray(const mxArray* a) {
  const mxArray& src = checked(a, "mxDuplicateArray");
  try {
    return trackInCall(copyTree(src));
  } catch (const std::bad_alloc&) {
    outOfMemory(src.m, src.n, className(src.classId));
  }
}

void mxDestroyArray(mxArray* a) {
  if (a == nullptr) return;
  HostState& s = state();
  if (!isLive(a)) misuse("mxDestroyArray", "not a live array (released twice?)");
  requireOwnedByCall(a, "mxDestroyArray", "the array");
  if (a->owner != nullptr) {
    // Releasing a cell's element empties its place in the cell, so that the
    // usual "release the old element, then store the new one" stays sound.
    std::vector<mxArray*>& siblings = a->owner->cells;
    *std::find(siblings.begin(), siblings.end(), a) = nullptr;
  } else if (s.call) {
    unlinkCreated(*s.call, a);
  }
  destroyTree(a);
}

// ---- Cells ---------------------------------------------------------------

mxArray* mxGetCell_700(const mxArray* c, mwIndex i) {
  const mxArray& cell = checked(c, "mxGetCell");
  if (cell.classId != mxCELL_CLASS) misuse("mxGetCell", "not a cell array");
  return i < cell.cells.size() ? cell.cells[i] : nullptr;
}

void mxSetCell_700(mxArray* c, mwIndex i, mxArray* a) {
  mxArray& cell = checkedMutable(c, "mxSetCell");
  if (cell.classId != mxCELL_CLASS) misuse("mxSetCell", "not a cell array");
  requireOwnedByCall(c, "mxSetCell", "the cell array");
  HostState& s = state();
  if (a != nullptr) {
    if (!isLive(a)) misuse("mxSetCell", "the element is not a live array");
    if (a->owner != nullptr) misuse("mxSetCell", "the element is already stored in a cell");
    requireOwnedByCall(a, "mxSetCell", "the element");
    for (const mxArray* p = &cell; p != nullptr; p = p->owner) {
      if (p == a) misuse("mxSetCell", "a cell array cannot contain itself");
    }
  }
  if (i >= cell.cells.size()) return;
  mxArray* replaced = cell.cells[i];
  if (a != nullptr) {
    if (s.call) unlinkCreated(*s.call, a);
    a->owner = &cell;
  }
  cell.cells[i] = a;
  if (replaced != nullptr) destroyTree(replaced);
}

// ---- Access --------------------------------------------------------------

double* mxGetPr(const mxArray* a) {
  const mxArray& x = checked(a, "mxGetPr");
  return x.classId == mxDOUBLE_CLASS ? static_cast<double*>(x.real.get()) : nullptr;
}

double* mxGetPi(const mxArray* a) {
  const mxArray& x = checked(a, "mxGetPi");
  return x.classId == mxDOUBLE_CLASS ? static_cast<double*>(x.imag.get()) : nullptr;
}

void* mxGetData(const mxArray* a) { return checked(a, "mxGetData").real.get(); }

double mxGetScalar(const mxArray* a) {
  const mxArray& x = checked(a, "mxGetScalar");
  const void* data = x.real.get();
  if (data == nullptr) return 0.0;
  if (x.sparse) {
    // The first stored value, which is the first non-zero in column order.
    return static_cast<const mwIndex*>(x.jc.get())[x.n] > 0 ? *static_cast<const double*>(data)
                                                             : 0.0;
  }
  if (x.m == 0 || x.n == 0) return 0.0;
  switch (x.classId) {
    case mxDOUBLE_CLASS: return *static_cast<const double*>(data);
    case mxSINGLE_CLASS: return *static_cast<const float*>(data);
    case mxLOGICAL_CLASS: return *static_cast<const mxLogical*>(data) ? 1.0 : 0.0;
    case mxCHAR_CLASS: return *static_cast<const mxChar*>(data);
    case mxINT8_CLASS: return *static_cast<const std::int8_t*>(data);
    case mxUINT8_CLASS: return *static_cast<const std::uint8_t*>(data);
    case mxINT16_CLASS: return *static_cast<const std::int16_t*>(data);
    case mxUINT16_CLASS: return *static_cast<const std::uint16_t*>(data);
    case mxINT32_CLASS: return *static_cast<const std::int32_t*>(data);
    case mxUINT32_CLASS: return *static_cast<const std::uint32_t*>(data);
    case mxINT64_CLASS: return static_cast<double>(*static_cast<const std::int64_t*>(data));
    case mxUINT64_CLASS: return static_cast<double>(*static_cast<const std::uint64_t*>(data));
    default: return 0.0;
  }
}

std::size_t mxGetM(const mxArray* a) { return checked(a, "mxGetM").m; }

std::size_t mxGetN(const mxArray* a) { return checked(a, "mxGetN").n; }

std::size_t mxGetNumberOfElements(const mxArray* a) {
  const mxArray& x = checked(a, "mxGetNumberOfElements");
  return x.m * x.n;
}

mxClassID mxGetClassID(const mxArray* a) { return checked(a, "mxGetClassID").classId; }

const char* mxGetClassName(const mxArray* a) {
  return className(checked(a, "mxGetClassName").classId);
}

// ---- Predicates ----------------------------------------------------------

bool mxIsCell(const mxArray* a) { return checked(a, "mxIsCell").classId == mxCELL_CLASS; }

bool mxIsEmpty(const mxArray* a) {
  const mxArray& x = checked(a, "mxIsEmpty");
  return x.m == 0 || x.n == 0;
}

bool mxIsDouble(const mxArray* a) { return checked(a, "mxIsDouble").classId == mxDOUBLE_CLASS; }

bool mxIsSingle(const mxArray* a) { return checked(a, "mxIsSingle").classId == mxSINGLE_CLASS; }

bool mxIsChar(const mxArray* a) { return checked(a, "mxIsChar").classId == mxCHAR_CLASS; }

bool mxIsLogical(const mxArray* a) {
  return checked(a, "mxIsLogical").classId == mxLOGICAL_CLASS;
}

bool mxIsNumeric(const mxArray* a) { return isNumericClass(checked(a, "mxIsNumeric").classId); }

bool mxIsComplex(const mxArray* a) { return checked(a, "mxIsComplex").complex; }

bool mxIsSparse(const mxArray* a) { return checked(a, "mxIsSparse").sparse; }

bool mxIsClass(const mxArray* a, const char* name) {
  const mxArray& x = checked(a, "mxIsClass");
  if (name == nullptr) return false;
  // As in the real hosts, a sparse matrix's class is its element class: no array
  // is of class "sparse" (mxIsSparse tells sparse storage).
  return std::strcmp(name, className(x.classId)) == 0;
}

// ---- Console and errors --------------------------------------------------

int mexPrintf(const char* format, ...) {
  if (format == nullptr) misuse("mexPrintf", "null format");
  va_list args;
  va_start(args, format);
  const std::string text = vformat(format, args);
  va_end(args);
  HostState& s = state();
  if (s.call) {
    s.call->console += text;
    const host::ConsoleEcho& echo = s.call->echo;
    if (echo.write != nullptr) echo.write(text.data(), text.size(), echo.context);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  return static_cast<int>(text.size());
}

void mexErrMsgTxt(const char* text) {
  raiseHostError("mexErrMsgTxt", text != nullptr ? text : "");
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  if (format == nullptr) misuse("mexErrMsgIdAndTxt", "null format");
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  raiseHostError("mexErrMsgIdAndTxt", std::move(text), id != nullptr ? id : "");
}

// ---- Call bookkeeping ----------------------------------------------------

namespace host {

std::size_t liveArrayCount() { return state().live; }

void setArrayPlacement(std::size_t offset) {
  if (offset >= kPlacementLine || offset % sizeof(double) != 0) {
    throw std::invalid_argument("host::setArrayPlacement: the offset must be a multiple of 8 below 64");
  }
  placement.store(offset, std::memory_order_relaxed);
}

void clearArrayPlacement() { placement.store(kAnywhere, std::memory_order_relaxed); }

namespace detail {

void beginCall(ConsoleEcho echo) {
  HostState& s = state();
  if (s.call) {
    throw std::logic_error(
        "host::callMex: a call is already running; nested calls are not supported");
  }
  s.call = std::make_unique<CallState>();
  s.call->echo = echo;
}

std::string takeConsole() {
  HostState& s = state();
  return s.call ? std::move(s.call->console) : std::string();
}

void handOver(mxArray* const* outputs, std::size_t count) {
  HostState& s = state();
  if (!s.call) throw std::logic_error("host::detail::handOver: no call is running");
  for (std::size_t k = 0; k < count; ++k) {
    mxArray* a = outputs[k];
    if (a == nullptr) continue;
    if (!isLive(a)) misuse("mexFunction", "output %zu is not a live array", k + 1);
    if (a->owner != nullptr) misuse("mexFunction", "output %zu is stored in a cell array", k + 1);
    for (std::size_t j = 0; j < k; ++j) {
      if (outputs[j] == a) misuse("mexFunction", "outputs %zu and %zu are one array", j + 1, k + 1);
    }
    if (!a->createdInCall) {
      misuse("mexFunction", "output %zu was not created during this call (an input?)", k + 1);
    }
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (outputs[k] != nullptr) unlinkCreated(*s.call, outputs[k]);
  }
}

void endCall() noexcept {
  HostState& s = state();
  if (!s.call) return;
  mxArray* unreturned = s.call->created;
  keepFreedForNextCall(s.call->bytes);
  s.call.reset();
  while (unreturned != nullptr) {
    mxArray* next = unreturned->callNext;
    destroyTree(unreturned);
    unreturned = next;
  }
}

bool isLiveArray(const mxArray* a) { return isLive(a); }

}  // namespace detail
}  // namespace host
