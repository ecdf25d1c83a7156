// The arrays of one call of the .oct's MEX-style entry point: what an mxArray
// handle is over Octave's values, who owns it, and how an output becomes an
// octave_value. Shared by octave_arrays.cpp, which implements the mx functions
// of mex.h, and octave_call.cpp, which drives a call; the gateway sees only
// mex.h.
#ifndef TILEVISTA_OCTAVE_NATIVE_OCTAVE_ARRAYS_H
#define TILEVISTA_OCTAVE_NATIVE_OCTAVE_ARRAYS_H

#include <octave/oct.h>

#include <octave/Cell.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// This host's own files see the handle as mxArray_tag (see mex.h).
#define TILEVISTA_OCTAVE_NATIVE_HOST 1
#include "mex.h"

/// One array the module sees. Its storage is Octave's: an input refers to
/// the caller's value, a created array holds the NDArray or Cell that becomes
/// the output.
struct mxArray_tag {
  enum class Kind : unsigned char {
    kInput,     // an input or an element of an input cell: *input
    kNumbers,   // created: a real double matrix, created
    kCells,     // created: a cell array, cells with its elements' handles
    kReleased,  // replaced in its cell: its storage is gone
  };
  Kind kind = Kind::kReleased;
  /// kInput: the caller's value; it outlives the call.
  const octave_value* input = nullptr;
  /// kNumbers: the Octave matrix the module fills through data, held as the
  /// value that is returned (not narrowed to a scalar while it is filled).
  octave_value created;
  /// kInput: the input's numbers once mxGetPr asked for them (sharing a full
  /// real matrix's storage), when they are not already where Octave keeps
  /// them.
  std::optional<NDArray> numbers;
  /// What mxGetPr returns, once known.
  double* data = nullptr;
  bool dataKnown = false;
  /// kCells: the cell array returned; kInput: the input's cells once
  /// mxGetCell asked for them (shared, not copied).
  std::optional<Cell> cells;
  /// Cell arrays: the handle of each element by linear index; null for an
  /// element not set yet (created cells) or not asked for yet (inputs).
  std::vector<mxArray_tag*> elements;
};

namespace octave_native {

/// The handles of the running call, its function's name, and the conversion
/// of its outputs. One exists per call, on the calling thread's stack; it
/// releases every handle, and with them whatever the module created and did
/// not return, when the call ends, however it ends.
class CallArrays {
 public:
  /// name: in, the function's name, which errors of the call carry.
  explicit CallArrays(const char* name);
  ~CallArrays();
  CallArrays(const CallArrays&) = delete;
  CallArrays& operator=(const CallArrays&) = delete;

  /// The running call, or null between calls.
  static CallArrays* current();

  /// The function's name (errors read "NAME: ...").
  const char* name() const { return name_; }

  /// A handle on value (not copied); value must outlive the call.
  mxArray_tag* wrapInput(const octave_value& value);

  /// A copy of text that lives as long as the call.
  const char* keep(std::string text);

  /// A new handle of the given kind, owned by the call. Throws std::bad_alloc.
  mxArray_tag* make(mxArray_tag::Kind kind);

  /// The Octave value of a handle the module returns: a created matrix or
  /// cell shares the storage the module wrote (a 1 x 1 matrix becomes a
  /// scalar, as Octave's MEX layer returns it), an input is the caller's value.
  static octave_value valueOf(mxArray_tag* a);

  /// Frees the storage of a created array and of everything stored in it
  /// (an element replaced in its cell); inputs are left alone.
  static void release(mxArray_tag* a);

  /// Lets go of the memory held back for an error's message, just before an
  /// error is raised: Octave builds the message on the heap, and a call that
  /// ran out of memory would otherwise show a message cut short, or none. A
  /// call takes the reserve again when it starts.
  static void releaseErrorReserve();

 private:
  static constexpr std::size_t kChunk = 512;
  const char* name_;
  CallArrays* outer_;  // a call running when this one began, if any
  std::vector<std::unique_ptr<mxArray_tag[]>> chunks_;
  std::size_t usedInLast_ = kChunk;
  std::deque<std::string> kept_;
};

}  // namespace octave_native

#endif  // TILEVISTA_OCTAVE_NATIVE_OCTAVE_ARRAYS_H
