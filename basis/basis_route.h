// How a call does its blocks' basis work, by name: the BLAS route (the
// library's dgemv, daxpy, dger, dnrm2, dscal and ddot) or the fused route
// (fused_basis.h) on one of its instruction sets. The names a caller may give
// (PursuitRequest's basis, TILEVISTA_BASIS) and the route each stands for are
// one table, in basis_route.cpp.
#ifndef TILEVISTA_BASIS_ROUTE_H
#define TILEVISTA_BASIS_ROUTE_H

#include <string>

#include "fused_basis.h"
#include "tilevista/basis_routes.h"

/// The fused kernels a name stands for on this processor, or null for the
/// BLAS route.
/// @param name  in, a name isBasisRoute accepts; null or "" for the default
const FusedBasis* chooseBasisRoute(const char* name);

/// The route's name for the statistics: "blas", or the fused set's
/// ("fused-avx512", ...).
/// @param kernels  in, what chooseBasisRoute gave
const char* basisRouteName(const FusedBasis* kernels);

#endif  // TILEVISTA_BASIS_ROUTE_H
