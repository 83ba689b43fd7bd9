#include "python/module_parts.h"

namespace velkan::py {

PyMethodDef* module_functions() {
  static std::vector<PyMethodDef> table;
  table.clear();
  for (auto group : {penalty_functions(), reml_functions(), newton_pirls_functions()})
    table.insert(table.end(), group.begin(), group.end());
  table.push_back({nullptr, nullptr, 0, nullptr});
  return table.data();
}

}  // namespace velkan::py
