// The routes by which a pursuit does its blocks' basis work (the
// orthogonalisation of a new atom, the dual update, the residual), as a caller
// names them in PursuitRequest::basis (and the environment variable
// TILEVISTA_BASIS): the BLAS route, or the module's own fused kernels on one
// of their instruction sets.
#ifndef TILEVISTA_BASIS_ROUTES_H
#define TILEVISTA_BASIS_ROUTES_H

#include <string>

/// True for the names a caller may ask for: "" (the default: the fused route
/// on the widest vector set the processor has, AVX-512 or AVX2, else the BLAS
/// route), "blas", "fused" (the widest fused set there is, the general one
/// included), or a fused set as the widest to use: "fused-general",
/// "fused-avx2", "fused-avx512" (never wider than the processor's).
/// @param name  in, null is no name
bool isBasisRoute(const char* name);

/// The names isBasisRoute accepts besides "", for a message: "blas, fused,
/// fused-general, fused-avx2 or fused-avx512".
std::string basisRouteList();

#endif  // TILEVISTA_BASIS_ROUTES_H
