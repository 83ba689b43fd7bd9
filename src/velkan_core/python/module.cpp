// velkan_core: module registration with multi-phase initialisation.
#include "linalg/blas_threads.h"
#include "velkan_core/python/module_parts.h"
#include "velkan_core/python/support/numpy_api.h"
#include "velkan_core/python/support/stdout_writer.h"

namespace velkan::py {
namespace {

int exec_module(PyObject* module) {
  // The module keeps process-wide state (the diagnostic sink, the NumPy API table) and is
  // not prepared for several interpreters.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "velkan_core does not support sub-interpreters; import it from the main "
                    "interpreter");
    return -1;
  }
  if (import_numpy() < 0) return -1;
  velkan::use_calling_thread_only();
  install_stdout_writer();
  if (add_gam_type(module) < 0) return -1;
  if (PyModule_AddFunctions(module, module_functions()) < 0) return -1;
  // Issued by a fit whose results it keeps although a part of it did not converge.
  PyObject* warning = PyErr_NewExceptionWithDoc(
      "velkan_core.ConvergenceWarning",
      "A fit kept results from an iteration that stopped before it converged.",
      PyExc_RuntimeWarning, nullptr);
  if (!warning) return -1;
  const int rc = PyModule_AddObjectRef(module, "ConvergenceWarning", warning);
  Py_DECREF(warning);
  return rc;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velkan_core",
    "Generalized additive models with automatic smoothing-parameter selection.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velkan::py

PyMODINIT_FUNC PyInit_velkan_core(void) { return PyModuleDef_Init(&velkan::py::module_def); }
