// Placeholder until the GAM type lands.
#include "python/module_parts.h"

namespace velkan::py {
int add_gam_type(PyObject*) { return 0; }
}  // namespace velkan::py
