// tilevista_dictionary, the dictionary function of TILEVISTA_Mex.oct.
#ifndef TILEVISTA_OCTAVE_DICTIONARY_H
#define TILEVISTA_OCTAVE_DICTIONARY_H

#include <octave/oct.h>

namespace octave_dictionary {

/// [D, info] = tilevista_dictionary (DESCRIPTION, n): the dictionary layer's
/// build of a description string (tilevista/dictionary.h) for atoms of length n.
/// D is n x K double, one unit-norm atom per column. info is a struct:
/// description (normalised), atoms (K), family and parameter (K x 1 cells of
/// strings), number (K x 1, each atom's place in its term's own list,
/// 1-based), and dropped, a struct of the atoms left out as repeats (fields
/// family, parameter, number as above and repeats, the 1-based column of D
/// each repeats; each with one row per dropped atom). A refused description
/// raises TILEVISTA:dictionary with the layer's message; memory running out,
/// TILEVISTA:outOfMemory.
octave_value_list tilevistaDictionary(const octave_value_list& args, int nargout);

}  // namespace octave_dictionary

#endif  // TILEVISTA_OCTAVE_DICTIONARY_H
