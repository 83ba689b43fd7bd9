// The BLAS/LAPACK library keeps its own pool of worker threads. The module runs every
// call on the calling thread: the pool is limited to that thread, which also keeps
// results independent of the machine's core count and avoids two thread pools (ours and
// NumPy's) competing for the same cores.
#pragma once

namespace velkan {
void use_calling_thread_only();
}  // namespace velkan
