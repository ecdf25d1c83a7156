// The dictionary layer (tilevista/dictionary.h) in the Python extension:
// tilevista.dictionary's compiled part.
#ifndef TILEVISTA_PYTHON_DICTIONARY_BINDING_H
#define TILEVISTA_PYTHON_DICTIONARY_BINDING_H

#include <pybind11/pybind11.h>

namespace tilevista_python {

/// Adds build_dictionary and the layer's constants (DICTIONARY_ERROR,
/// MAX_DICTIONARY_LENGTH, DICTIONARY_FAMILIES) to the extension module.
/// @param module  in/out, the extension module
void bindDictionary(pybind11::module_& module);

}  // namespace tilevista_python

#endif  // TILEVISTA_PYTHON_DICTIONARY_BINDING_H
