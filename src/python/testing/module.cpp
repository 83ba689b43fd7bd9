// _velkan_testing: exposes internals of the core to the test suite. Built only with
// -DVELKAN_TESTING=ON; never part of the public API.
#include "linalg/blas_threads.h"
#include "python/support/numpy_api.h"
#include "python/support/stdout_writer.h"
#include "python/testing/registry.h"

namespace velkan::testing {

std::vector<PyMethodDef>& registered_methods() {
  static std::vector<PyMethodDef> methods;
  return methods;
}

namespace {

int exec_module(PyObject* module) {
  if (velkan::py::import_numpy() < 0) return -1;
  velkan::use_calling_thread_only();
  velkan::py::install_stdout_writer();
  // Built once and never moved: function objects keep pointers into the table.
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> t = registered_methods();
    t.push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return PyModule_AddFunctions(module, table.data());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_velkan_testing", "Test-only access to velkan_core internals.", 0,
    nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velkan::testing

PyMODINIT_FUNC PyInit__velkan_testing(void) { return PyModuleDef_Init(&velkan::testing::module_def); }
