// The pieces the velkan_core module is assembled from, in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

namespace velkan::py {

// Creates the GAM type and adds it to the module; -1 with an exception on failure.
int add_gam_type(PyObject* module);

// Module functions, one group per file, registered in this order:
std::vector<PyMethodDef> penalty_functions();       // compute_penalty_matrix
std::vector<PyMethodDef> reml_functions();          // evaluate_gradient,
                                                    // reml_gradient_multi_qr_py,
                                                    // reml_hessian_multi_qr_py
std::vector<PyMethodDef> newton_pirls_functions();  // newton_pirls_py

// All of the above, null-terminated, with static lifetime.
PyMethodDef* module_functions();

}  // namespace velkan::py
