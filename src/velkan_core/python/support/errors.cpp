#include "velkan_core/python/support/errors.h"

#include <string>

namespace velkan::py {

PyObject* raise_value_error(std::string_view message) {
  // Decoded leniently: a message always arrives, even if a payload carried bytes that
  // are not UTF-8, and embedded NUL characters are kept.
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (!text) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
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

void ensure_consistent(PyObject*& result) {
  if (result && PyErr_Occurred()) {
    // A value together with a pending exception: the exception wins.
    Py_CLEAR(result);
  } else if (!result && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_RuntimeError, "Internal error: a call failed without a reason");
  }
}

}  // namespace velkan::py
