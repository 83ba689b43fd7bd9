#include "velkan_core/python/module_parts.h"

namespace velkan::py {

PyMethodDef* module_functions() {
  // Built once: the function objects of every module object created from this table
  // keep pointers into it, so it must never be rebuilt or moved (a re-import after
  // removal from sys.modules runs the module's exec step again).
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> t;
    for (const auto& group : {penalty_functions(), reml_functions(), newton_pirls_functions()})
      t.insert(t.end(), group.begin(), group.end());
    t.push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table.data();
}

}  // namespace velkan::py
