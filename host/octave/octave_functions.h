// The functions of TILEVISTA_Mex.oct as Octave loads them: each has an
// installer G<name>, exported (exports.map), which Octave calls when it loads
// the function from the file.
#ifndef TILEVISTA_OCTAVE_FUNCTIONS_H
#define TILEVISTA_OCTAVE_FUNCTIONS_H

#include <octave/oct.h>

#include <octave/oct-shlib.h>

#include <string>

namespace octave_functions {

/// What Octave's DEFUN_DLD installer does, with the function's help text
/// taken from name.m beside the .oct, as Octave takes a MEX file's.
/// @param function  in, the function's body
/// @param library   in, the .oct, as Octave passes it to the installer
/// @param relative  as Octave passes it to the installer
/// @param name      the function's name
octave_function* installFunction(octave_builtin::fcn function,
                                 const octave::dynamic_library& library, bool relative,
                                 const std::string& name);

}  // namespace octave_functions

#endif  // TILEVISTA_OCTAVE_FUNCTIONS_H
