// A call of the gateway's mexFunction from an Octave function of the .oct,
// made as Octave's MEX layer makes it for a MEX file: the same nargin and
// nargout, the same outputs, console text and errors, without the copies.
#ifndef TILEVISTA_OCTAVE_NATIVE_OCTAVE_CALL_H
#define TILEVISTA_OCTAVE_NATIVE_OCTAVE_CALL_H

#include <octave/oct.h>

#include <string>

#include "octave_arrays.h"

namespace octave_native {

/// A MEX entry point: nlhs outputs wanted, plhs their slots, nrhs inputs.
using EntryPoint = void (*)(int nlhs, mxArray_tag* plhs[], int nrhs, const mxArray_tag* prhs[]);

/// Calls entry with Octave's arguments and returns its outputs.
///   name:    in, the function's name, which the call's errors carry.
///   args:    in, the arguments; entry reads them where Octave keeps them.
///   nargout: in, the outputs Octave asks for; entry gets it as nlhs (0 for a
///            call as a statement) and always at least one slot, whose value
///            then becomes ans.
/// Returns nargout values (one when nargout is 0 and entry set the first):
/// the arrays entry created, sharing their storage; a slot entry left empty
/// is undefined. An error, an interrupt or any exception raised in entry
/// passes on to Octave; the arrays of the call are released either way.
octave_value_list callEntryPoint(const char* name, EntryPoint entry, const octave_value_list& args,
                                 int nargout);

}  // namespace octave_native

#endif  // TILEVISTA_OCTAVE_NATIVE_OCTAVE_CALL_H
