// Placeholder: this group of module functions has not landed yet.
#include "python/module_parts.h"

namespace velkan::py {
std::vector<PyMethodDef> reml_functions() { return {}; }
}  // namespace velkan::py
