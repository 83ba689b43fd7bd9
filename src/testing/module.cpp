// _velkan_testing: exposes internals of the core to the test suite. Built only with
// -DVELKAN_TESTING=ON; never part of the public API.
#include <deque>

#include "linalg/blas_threads.h"
#include "velkan_core/python/support/numpy_api.h"
#include "velkan_core/python/support/stdout_writer.h"
#include "testing/binding.h"

namespace velkan::testing {

std::vector<Binding>& bindings() {
  static std::vector<Binding> all;
  return all;
}

PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  std::vector<PyRef> values;
  for (const auto& item : items) values.emplace_back(item.second);
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  std::size_t i = 0;
  for (const auto& item : items) {
    if (!values[i] || PyDict_SetItemString(dict.get(), item.first, values[i].get()) < 0)
      return nullptr;
    ++i;
  }
  return dict.release();
}

namespace {

// Every function object carries its Binding in a capsule as `self`.
PyObject* dispatch(PyObject* self, PyObject* args) {
  auto* b = static_cast<const Binding*>(PyCapsule_GetPointer(self, nullptr));
  if (!b) return nullptr;
  return py::guarded([&]() -> PyObject* { return b->call(args); });
}

int exec_module(PyObject* module) {
  if (py::import_numpy() < 0) return -1;
  use_calling_thread_only();
  py::install_stdout_writer();
  // Function objects keep pointers to their method definitions: never moved.
  static std::deque<PyMethodDef> defs;
  for (const Binding& b : bindings()) {
    defs.push_back({b.name, dispatch, METH_VARARGS, nullptr});
    PyRef capsule(PyCapsule_New(const_cast<Binding*>(&b), nullptr, nullptr));
    if (!capsule) return -1;
    PyRef fn(PyCFunction_NewEx(&defs.back(), capsule.get(), nullptr));
    if (!fn || PyModule_AddObjectRef(module, b.name, fn.get()) < 0) return -1;
  }
  return 0;
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
