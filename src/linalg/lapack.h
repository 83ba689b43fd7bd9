// The LAPACK and BLAS routines the core calls, as exported by the scipy-openblas32
// library: column-major, 32-bit integers, symbols prefixed "scipy_". Declared here and
// nowhere else.
#pragma once

#include <cstdint>

namespace velkan::lapack {

using lapack_int = std::int32_t;

extern "C" {
// LAPACK
void scipy_dgeqrf_(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda,
                   double* tau, double* work, const lapack_int* lwork, lapack_int* info);
void scipy_dorgqr_(const lapack_int* m, const lapack_int* n, const lapack_int* k, double* a,
                   const lapack_int* lda, const double* tau, double* work,
                   const lapack_int* lwork, lapack_int* info);
void scipy_dgetrf_(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda,
                   lapack_int* ipiv, lapack_int* info);
void scipy_dgetrs_(const char* trans, const lapack_int* n, const lapack_int* nrhs,
                   const double* a, const lapack_int* lda, const lapack_int* ipiv, double* b,
                   const lapack_int* ldb, lapack_int* info, std::size_t trans_len);
void scipy_dgetri_(const lapack_int* n, double* a, const lapack_int* lda,
                   const lapack_int* ipiv, double* work, const lapack_int* lwork,
                   lapack_int* info);
void scipy_dpotrf_(const char* uplo, const lapack_int* n, double* a, const lapack_int* lda,
                   lapack_int* info, std::size_t uplo_len);
void scipy_dtrtrs_(const char* uplo, const char* trans, const char* diag, const lapack_int* n,
                   const lapack_int* nrhs, const double* a, const lapack_int* lda, double* b,
                   const lapack_int* ldb, lapack_int* info, std::size_t, std::size_t,
                   std::size_t);
void scipy_dpotri_(const char* uplo, const lapack_int* n, double* a, const lapack_int* lda,
                   lapack_int* info, std::size_t uplo_len);
void scipy_dpotrs_(const char* uplo, const lapack_int* n, const lapack_int* nrhs, const double* a,
                   const lapack_int* lda, double* b, const lapack_int* ldb, lapack_int* info,
                   std::size_t uplo_len);
void scipy_dpstrf_(const char* uplo, const lapack_int* n, double* a, const lapack_int* lda,
                   lapack_int* piv, lapack_int* rank, const double* tol, double* work,
                   lapack_int* info, std::size_t uplo_len);
void scipy_dsyev_(const char* jobz, const char* uplo, const lapack_int* n, double* a,
                  const lapack_int* lda, double* w, double* work, const lapack_int* lwork,
                  lapack_int* info, std::size_t, std::size_t);
void scipy_dsyevr_(const char* jobz, const char* range, const char* uplo, const lapack_int* n,
                   double* a, const lapack_int* lda, const double* vl, const double* vu,
                   const lapack_int* il, const lapack_int* iu, const double* abstol,
                   lapack_int* m, double* w, double* z, const lapack_int* ldz,
                   lapack_int* isuppz, double* work, const lapack_int* lwork, lapack_int* iwork,
                   const lapack_int* liwork, lapack_int* info, std::size_t, std::size_t,
                   std::size_t);
void scipy_dsytrd_(const char* uplo, const lapack_int* n, double* a, const lapack_int* lda,
                   double* d, double* e, double* tau, double* work, const lapack_int* lwork,
                   lapack_int* info, std::size_t);
void scipy_dstebz_(const char* range, const char* order, const lapack_int* n, const double* vl,
                   const double* vu, const lapack_int* il, const lapack_int* iu,
                   const double* abstol, const double* d, const double* e, lapack_int* m,
                   lapack_int* nsplit, double* w, lapack_int* iblock, lapack_int* isplit,
                   double* work, lapack_int* iwork, lapack_int* info, std::size_t, std::size_t);
void scipy_dstein_(const lapack_int* n, const double* d, const double* e, const lapack_int* m,
                   const double* w, const lapack_int* iblock, const lapack_int* isplit,
                   double* z, const lapack_int* ldz, double* work, lapack_int* iwork,
                   lapack_int* ifail, lapack_int* info);
void scipy_dormtr_(const char* side, const char* uplo, const char* trans, const lapack_int* m,
                   const lapack_int* n, const double* a, const lapack_int* lda,
                   const double* tau, double* c, const lapack_int* ldc, double* work,
                   const lapack_int* lwork, lapack_int* info, std::size_t, std::size_t,
                   std::size_t);

// Size of the library's thread pool.
void scipy_openblas_set_num_threads(int num_threads);
int scipy_openblas_get_num_threads(void);

// BLAS, used for the large products where they pay off.
void scipy_dsyrk_(const char* uplo, const char* trans, const lapack_int* n, const lapack_int* k,
                  const double* alpha, const double* a, const lapack_int* lda,
                  const double* beta, double* c, const lapack_int* ldc, std::size_t,
                  std::size_t);
void scipy_dgemm_(const char* transa, const char* transb, const lapack_int* m,
                  const lapack_int* n, const lapack_int* k, const double* alpha,
                  const double* a, const lapack_int* lda, const double* b,
                  const lapack_int* ldb, const double* beta, double* c, const lapack_int* ldc,
                  std::size_t, std::size_t);
void scipy_dtrmm_(const char* side, const char* uplo, const char* transa, const char* diag,
                  const lapack_int* m, const lapack_int* n, const double* alpha,
                  const double* a, const lapack_int* lda, double* b, const lapack_int* ldb,
                  std::size_t, std::size_t, std::size_t, std::size_t);
void scipy_dgemv_(const char* trans, const lapack_int* m, const lapack_int* n,
                  const double* alpha, const double* a, const lapack_int* lda, const double* x,
                  const lapack_int* incx, const double* beta, double* y,
                  const lapack_int* incy, std::size_t);
}

}  // namespace velkan::lapack
