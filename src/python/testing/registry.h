// Registration of test-only functions into the _velkan_testing module. Each file of this
// folder exposes internals of one subsystem:
//
//   static velkan::testing::Registrar reg{{
//       {"linalg_solve", (PyCFunction)solve_py, METH_VARARGS, nullptr},
//   }};
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <vector>

namespace velkan::testing {

std::vector<PyMethodDef>& registered_methods();

struct Registrar {
  Registrar(std::initializer_list<PyMethodDef> defs) {
    for (const auto& d : defs) registered_methods().push_back(d);
  }
};

}  // namespace velkan::testing
