// Module function compute_penalty_matrix: the raw penalty matrix of a basis type.
#include <string>

#include "velkan_core/fit/design.h"
#include "velkan_core/python/module_parts.h"
#include "velkan_core/python/support/convert.h"
#include "velkan_core/python/support/errors.h"
#include "velkan_core/python/support/py_ref.h"
#include "bindings/released_gil.h"
#include "velkan_core/smooth/penalty.h"

namespace velkan::py {
namespace {

PyObject* compute_penalty_matrix_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"basis_type", "num_basis", "knots", nullptr};
    PyObject* basis_obj = nullptr;
    PyObject* num_obj = nullptr;
    PyObject* knots_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:compute_penalty_matrix",
                                     const_cast<char**>(keywords), &basis_obj, &num_obj,
                                     &knots_obj))
      return nullptr;
    constexpr const char* fn = "compute_penalty_matrix";
    auto basis_type = as_string(basis_obj, {fn, "basis_type"});
    if (!basis_type) return nullptr;
    auto num_basis = as_size(num_obj, {fn, "num_basis"});
    if (!num_basis) return nullptr;
    auto knots = as_contiguous_vector(knots_obj, {fn, "knots"});
    if (!knots) return nullptr;

    // The arguments first, then a num_basis x num_basis result that cannot fit in memory
    // is refused before the core tries to allocate it.
    const std::size_t k = *num_basis;
    if (auto ok = check_penalty_request(*basis_type, k, *knots); !ok)
      return raise(ok.error(), "Failed to compute penalty: ");
    if (k != 0 && k > max_matrix_elements() / k) {
      return raise_value_error("num_basis = " + std::to_string(k) +
                               " asks for a penalty matrix too large for this machine's memory");
    }

    const PyRef pin = PyRef::borrow(knots_obj);
    auto penalty = without_gil([&] { return compute_penalty_matrix(*basis_type, k, *knots); });
    if (!penalty) return raise_failure(penalty.error(), "Failed to compute penalty: ");
    return to_numpy(*penalty);
  });
}

}  // namespace

std::vector<PyMethodDef> penalty_functions() {
  return {
      {"compute_penalty_matrix",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compute_penalty_matrix_py)),
       METH_VARARGS | METH_KEYWORDS,
       "compute_penalty_matrix(basis_type, num_basis, knots)\n--\n\n"
       "Compute penalty matrix for debugging/comparison\n"
       "Returns the raw penalty matrix for a given basis type"},
  };
}

}  // namespace velkan::py
