// Placeholder until the GAM type lands: an empty function table keeps the module importable.
#include "python/module_parts.h"

namespace velkan::py {

int add_gam_type(PyObject*) { return 0; }

PyMethodDef* module_functions() {
  static PyMethodDef table[] = {{nullptr, nullptr, 0, nullptr}};
  return table;
}

}  // namespace velkan::py
