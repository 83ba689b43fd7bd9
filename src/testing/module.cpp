// _velkan_testing: exposes internals of the numerical code to the test suite. Built only
// with -DVELKAN_TESTING=ON; never part of the public API.
#include "linalg/blas_threads.h"
#include "testing/bind.h"
#include "velkan_core/python/support/numpy_api.h"
#include "velkan_core/python/support/stdout_writer.h"

NB_MODULE(_velkan_testing, m) {
  using namespace velkan;
  m.doc() = "Test-only access to the internals of velkan_core, the engine and the shared layer.";
  // velkan_core's argument converters, which bind_python exposes, read arrays through
  // this module's own copy of the NumPy API table.
  if (py::import_numpy() < 0) throw nanobind::python_error();
  use_calling_thread_only();
  // Diagnostic lines of the code linked into this module go to sys.stdout.
  py::install_stdout_writer();

  testing::bind_common(m);
  testing::bind_diag(m);
  testing::bind_linalg(m);
  testing::bind_smooth(m);
  testing::bind_fit(m);
  testing::bind_reml(m);
  testing::bind_search(m);
  testing::bind_python(m);
  testing::bind_engine(m);
}
