#include "linalg/blas_threads.h"

#include "linalg/lapack.h"

namespace velkan {
void use_calling_thread_only() { lapack::scipy_openblas_set_num_threads(1); }
}  // namespace velkan
