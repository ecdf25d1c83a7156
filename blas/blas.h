// Every BLAS routine the module calls, with the reference (Fortran) interface:
// every argument by address, inputs const, column-major storage.
//
// blas_int is the BLAS integer. It is 32-bit by default; configure with
// TILEVISTA_BLAS_INT64 for a BLAS built with 64-bit integers (MATLAB's bundled
// BLAS, OpenBLAS's ILP64 flavour).
//
// The character arguments of dgemm/dgemv carry Fortran's hidden string-length
// arguments at the end. They default to 1, so call sites read exactly like the
// reference interface, and Fortran-compiled BLAS libraries see a well-formed call.
#ifndef TILEVISTA_BLAS_H
#define TILEVISTA_BLAS_H

#include <cstddef>
#include <cstdint>

#ifdef TILEVISTA_BLAS_INT64
typedef std::int64_t blas_int;
#else
typedef std::int32_t blas_int;
#endif

// Fortran symbol names carry a trailing underscore on the platforms we build for;
// define TILEVISTA_BLAS_NO_UNDERSCORE for libraries that export plain names.
#ifdef TILEVISTA_BLAS_NO_UNDERSCORE
#define TILEVISTA_BLAS(name) name
#else
#define TILEVISTA_BLAS(name) name##_
#endif

#define ddot TILEVISTA_BLAS(ddot)
#define daxpy TILEVISTA_BLAS(daxpy)
#define dnrm2 TILEVISTA_BLAS(dnrm2)
#define dscal TILEVISTA_BLAS(dscal)
#define idamax TILEVISTA_BLAS(idamax)
#define dgemv TILEVISTA_BLAS(dgemv)
#define dger TILEVISTA_BLAS(dger)
#define dgemm TILEVISTA_BLAS(dgemm)

extern "C" {

/// Dot product x . y of n elements.
double ddot(const blas_int* n, const double* x, const blas_int* incx, const double* y,
            const blas_int* incy);

/// y = alpha * x + y over n elements.
void daxpy(const blas_int* n, const double* alpha, const double* x, const blas_int* incx,
           double* y, const blas_int* incy);

/// Euclidean norm of x (n elements), computed without overflow.
double dnrm2(const blas_int* n, const double* x, const blas_int* incx);

/// x = alpha * x over n elements.
void dscal(const blas_int* n, const double* alpha, double* x, const blas_int* incx);

/// 1-based position of the first element of largest absolute value (0 when n < 1).
blas_int idamax(const blas_int* n, const double* x, const blas_int* incx);

/// y = alpha * op(A) x + beta * y, A m x n with leading dimension lda, op given by
/// trans ('N' or 'T'). With beta = 0.0, y is written without being read.
void dgemv(const char* trans, const blas_int* m, const blas_int* n, const double* alpha,
           const double* a, const blas_int* lda, const double* x, const blas_int* incx,
           const double* beta, double* y, const blas_int* incy, std::size_t trans_len = 1);

/// A = alpha * x y^T + A, A m x n with leading dimension lda.
void dger(const blas_int* m, const blas_int* n, const double* alpha, const double* x,
          const blas_int* incx, const double* y, const blas_int* incy, double* a,
          const blas_int* lda);

/// C = alpha * op(A) op(B) + beta * C, C m x n, op(A) m x k, op(B) k x n.
/// With beta = 0.0, C is written without being read.
void dgemm(const char* transa, const char* transb, const blas_int* m, const blas_int* n,
           const blas_int* k, const double* alpha, const double* a, const blas_int* lda,
           const double* b, const blas_int* ldb, const double* beta, double* c,
           const blas_int* ldc, std::size_t transa_len = 1, std::size_t transb_len = 1);

}  // extern "C"

#endif  // TILEVISTA_BLAS_H
