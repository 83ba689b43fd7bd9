#include "python/support/errors.h"

#include <string>

namespace velkan::py {

PyObject* raise_value_error(std::string_view message) {
  const std::string text(message);
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return nullptr;
}

PyObject* raise(const GamError& e, std::string_view prefix) {
  std::string text(prefix);
  text += e.display();
  return raise_value_error(text);
}

PyObject* raise(const ModelError& e, std::string_view prefix) {
  if (const auto* usage = std::get_if<UsageError>(&e)) {
    std::string text(prefix);
    text += usage->message;
    return raise_value_error(text);
  }
  return raise(std::get<GamError>(e), prefix);
}

}  // namespace velkan::py
