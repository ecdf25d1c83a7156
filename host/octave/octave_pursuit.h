// tilevista_pursuit, the struct-returning function of TILEVISTA_Mex.oct.
#ifndef TILEVISTA_OCTAVE_PURSUIT_H
#define TILEVISTA_OCTAVE_PURSUIT_H

#include <octave/oct.h>

namespace octave_pursuit {

/// s = tilevista_pursuit (blocks, Dy, Dx, tol, maxAtoms, name, value, ...):
/// the positional arguments as TILEVISTA_Mex takes them (3 to 5), then the
/// options "duals", "bases", "curve", "progress" (logical, all false by
/// default). Returns one struct: approximations, yIndices, xIndices,
/// coefficients (cells shaped as blocks, indices 1-based), totalAtoms, stop
/// ("tol", "tol2" or "budget"), threads, and duals, bases and curve when asked
/// (see tilevista_pursuit.m). Rejections carry TILEVISTA_Mex's texts and
/// identifiers.
octave_value_list tilevistaPursuit(const octave_value_list& args, int nargout);

}  // namespace octave_pursuit

#endif  // TILEVISTA_OCTAVE_PURSUIT_H
