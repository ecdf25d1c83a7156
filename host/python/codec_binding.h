// The image codec (tilevista/codec.h) in the Python extension: the compiled
// part of tilevista.codec.
#ifndef TILEVISTA_PYTHON_CODEC_BINDING_H
#define TILEVISTA_PYTHON_CODEC_BINDING_H

#include <pybind11/pybind11.h>

namespace tilevista_python {

/// Adds encode_image, decode_image, sample_bit_depth and the codec's
/// identifiers (CODEC_ERRORS, a dict by short name) to the extension module.
/// @param module  in/out, the extension module
void bindCodec(pybind11::module_& module);

}  // namespace tilevista_python

#endif  // TILEVISTA_PYTHON_CODEC_BINDING_H
