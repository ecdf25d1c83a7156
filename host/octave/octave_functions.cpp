// How the functions of TILEVISTA_Mex.oct are installed. Octave loads the file
// for the function of its name, TILEVISTA_Mex; another function in the same
// file is reached through an autoload entry naming this file (the PKG_ADD file
// beside it, which Octave runs when the folder is added to the path). Each
// function has an installer G<name> (no separator: the name Octave looks up),
// which Octave calls when it loads the function, and is listed in exports.map.
#include <octave/oct.h>

#include <octave/defun-dld.h>
#include <octave/file-ops.h>
#include <octave/interpreter.h>
#include <octave/oct-shlib.h>
#include <octave/parse.h>

#include <fstream>
#include <string>

#include "octave_functions.h"

namespace {

// The help text of the function `name` from the file name.m in the folder of
// the .oct, as Octave takes a MEX file's help from the .m file beside it; empty
// when there is no such file or it cannot be read.
std::string helpBeside(const octave::dynamic_library& library, const std::string& name) {
  const std::string folder = octave::sys::file_ops::dirname(library.file_name());
  const std::string file = octave::sys::file_ops::concat(folder, name + ".m");
  if (!std::ifstream(file).good()) return "";
  try {
    const octave_value_list help = octave::feval("get_help_text_from_file", ovl(file), 1);
    return help.length() > 0 ? help(0).string_value() : "";
  } catch (const octave::execution_exception&) {
    octave::interpreter::the_interpreter()->recover_from_exception();
    return "";
  }
}

}  // namespace

namespace octave_functions {

octave_function* installFunction(octave_builtin::fcn function,
                                 const octave::dynamic_library& library, bool relative,
                                 const std::string& name) {
  check_version(OCTAVE_API_VERSION, name);
  octave_dld_function* installed =
      octave_dld_function::create(function, library, name, helpBeside(library, name));
  if (relative) installed->mark_relative();
  return installed;
}

}  // namespace octave_functions
