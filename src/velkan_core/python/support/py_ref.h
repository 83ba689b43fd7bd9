// RAII owner of a strong Python reference, so early returns cannot leak.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <vector>

namespace velkan::py {

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : p_(owned) {}  // steals the reference
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  PyObject* p_ = nullptr;
};

// A tuple that takes ownership of `items` (new references). If any item is null (its
// constructor failed with an exception set) the others are released and nullptr returned.
inline PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  std::vector<PyRef> refs;
  refs.reserve(items.size());
  for (PyObject* o : items) refs.emplace_back(o);
  for (const PyRef& r : refs)
    if (!r) return nullptr;
  PyRef t(PyTuple_New(static_cast<Py_ssize_t>(refs.size())));
  if (!t) return nullptr;
  for (std::size_t i = 0; i < refs.size(); ++i)
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), refs[i].release());
  return t.release();
}

}  // namespace velkan::py
