// velkan._engine: the modelling engine's thin binding, one bind_* per engine folder. Each
// function converts its arguments, makes one call into the core with the interpreter lock
// released where the call may be long, and converts the result back; core errors become
// ValueError in convert.h and nowhere else.
#include "engine/python/bindings.h"
#include "linalg/blas_threads.h"

NB_MODULE(_engine, m) {
  velkan::use_calling_thread_only();
  m.doc() = "The compiled modelling engine of velkan (private; use velkan.GAM).";
  velkan::engine::bind_families(m);
  velkan::engine::bind_terms(m);
  velkan::engine::bind_passes(m);
  velkan::engine::bind_binning(m);
  velkan::engine::bind_select(m);
  velkan::engine::bind_inference(m);
}
