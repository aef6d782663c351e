// The level-1 BLAS kernels of the installed Fortran BLAS (Debian's libblas).
//
// Fortran calling convention: every argument by address, vectors as plain
// pointers; increments may be 0 (dcopy from one value fills a vector) or
// larger than 1 (a row of a column-major matrix has increment ld).
#pragma once

extern "C" {
// y := x
void dcopy_(const int* n, const double* x, const int* incx, double* y, const int* incy);
// x := alpha * x
void dscal_(const int* n, const double* alpha, double* x, const int* incx);
// x . y
double ddot_(const int* n, const double* x, const int* incx, const double* y, const int* incy);
// y := alpha * x + y
void daxpy_(const int* n, const double* alpha, const double* x, const int* incx, double* y,
            const int* incy);
// plane rotation: x := c x + s y, y := c y - s x
void drot_(const int* n, double* x, const int* incx, double* y, const int* incy, const double* c,
           const double* s);
}

namespace ruvo::blas {

// Value-argument wrappers so that callers can pass expressions.
inline void dcopy(int n, const double* x, int incx, double* y, int incy) {
  dcopy_(&n, x, &incx, y, &incy);
}
inline void dscal(int n, double alpha, double* x, int incx) { dscal_(&n, &alpha, x, &incx); }
inline double ddot(int n, const double* x, int incx, const double* y, int incy) {
  return ddot_(&n, x, &incx, y, &incy);
}
inline void daxpy(int n, double alpha, const double* x, int incx, double* y, int incy) {
  daxpy_(&n, &alpha, x, &incx, y, &incy);
}
inline void drot(int n, double* x, int incx, double* y, int incy, double c, double s) {
  drot_(&n, x, &incx, y, &incy, &c, &s);
}

} // namespace ruvo::blas
