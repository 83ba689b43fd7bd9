// Factor labels held as Python objects (text in an object array): their distinct values and
// their positions among a factor's levels, by one hash a row. A str caches its hash, so a
// row costs a hash-table probe and, only when the hashes match, one equality test; the
// Python loops these replace (a set, a dict lookup a row) cost several times that.
// Semantics are those of a Python set and dict: equal objects are one label.
#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "engine/python/bindings.h"
#include "engine/python/convert.h"

namespace velkan::engine {

using namespace nb::literals;

namespace {

// The rows of a one-dimensional NumPy array of objects, viewed through the buffer protocol.
class ObjectRows {
 public:
  explicit ObjectRows(nb::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_RECORDS_RO) != 0) throw nb::python_error();
    if (view_.ndim != 1 || view_.format == nullptr || std::strcmp(view_.format, "O") != 0) {
      PyBuffer_Release(&view_);
      throw nb::type_error("labels must be a one-dimensional array of objects");
    }
  }
  ~ObjectRows() { PyBuffer_Release(&view_); }
  ObjectRows(const ObjectRows&) = delete;
  ObjectRows& operator=(const ObjectRows&) = delete;

  std::size_t size() const { return static_cast<std::size_t>(view_.shape[0]); }
  PyObject* operator[](std::size_t i) const {
    PyObject* o = nullptr;
    std::memcpy(&o, static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(i) * view_.strides[0],
                sizeof o);
    return o;
  }

 private:
  Py_buffer view_{};
};

Py_hash_t hash_of(PyObject* o) {
  const Py_hash_t h = PyObject_Hash(o);
  if (h == -1) throw nb::python_error();  // unhashable
  return h;
}

// The loops hold the interpreter lock; they look for Ctrl-C once per this many rows.
constexpr std::size_t kSignalRows = std::size_t{1} << 20;

void check_signals(std::size_t row) {
  if (row % kSignalRows == kSignalRows - 1 && PyErr_CheckSignals() != 0) throw nb::python_error();
}

bool same_label(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const int eq = PyObject_RichCompareBool(a, b, Py_EQ);
  if (eq < 0) throw nb::python_error();
  return eq == 1;
}

// An open-addressed set of labels with a code each (the order they entered).
class LabelTable {
 public:
  explicit LabelTable(std::size_t expected)
      : slots_(std::bit_ceil(std::max<std::size_t>(4 * expected, 16)), -1) {}

  // The label's code, or -1.
  std::ptrdiff_t find(PyObject* o, Py_hash_t h) const {
    for (std::size_t s = slot(h);; s = next(s)) {
      const std::ptrdiff_t at = slots_[s];
      if (at < 0) return -1;
      if (hashes_[static_cast<std::size_t>(at)] == h && same_label(o, labels_[static_cast<std::size_t>(at)])) return at;
    }
  }
  // Adds a label not in the table (the caller looked); grows to stay at most half full.
  void add(PyObject* o, Py_hash_t h) {
    if (2 * (labels_.size() + 1) > slots_.size()) grow();
    place(labels_.size(), h);
    labels_.push_back(o);
    hashes_.push_back(h);
  }
  const std::vector<PyObject*>& labels() const { return labels_; }

 private:
  std::size_t slot(Py_hash_t h) const { return static_cast<std::size_t>(h) & (slots_.size() - 1); }
  std::size_t next(std::size_t s) const { return (s + 1) & (slots_.size() - 1); }
  void place(std::size_t code, Py_hash_t h) {
    std::size_t s = slot(h);
    while (slots_[s] >= 0) s = next(s);
    slots_[s] = static_cast<std::ptrdiff_t>(code);
  }
  void grow() {
    slots_.assign(2 * slots_.size(), -1);
    for (std::size_t c = 0; c < labels_.size(); ++c) place(c, hashes_[c]);
  }

  std::vector<std::ptrdiff_t> slots_;
  std::vector<PyObject*> labels_;  // borrowed: the caller's arrays keep them alive
  std::vector<Py_hash_t> hashes_;
};

// The distinct labels of an object array, in the order first seen.
nb::list distinct_labels(nb::handle column) {
  const ObjectRows rows(column);
  LabelTable table(64);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* o = rows[i];
    const Py_hash_t h = hash_of(o);
    if (table.find(o, h) < 0) table.add(o, h);
    check_signals(i);
  }
  nb::list out;
  for (PyObject* o : table.labels()) out.append(nb::borrow(o));
  return out;
}

// Each row's position among `levels` (an object array of distinct labels), `missing` for
// a label not among them.
Out1 label_positions(nb::handle column, nb::handle levels, double missing) {
  const ObjectRows rows(column), known(levels);
  LabelTable table(known.size());
  for (std::size_t c = 0; c < known.size(); ++c) {
    PyObject* o = known[c];
    const Py_hash_t h = hash_of(o);
    if (table.find(o, h) < 0) table.add(o, h);
    if (table.labels().size() != c + 1) throw nb::value_error("levels must be distinct");
  }
  const std::size_t n = rows.size();
  auto* out = new double[std::max<std::size_t>(n, 1)];
  nb::capsule owner(out, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* o = rows[i];
    const std::ptrdiff_t at = table.find(o, hash_of(o));
    out[i] = at < 0 ? missing : static_cast<double>(at);
    check_signals(i);
  }
  return Out1(out, {n}, owner);
}

}  // namespace

void bind_labels(nb::module_& m) {
  m.def("distinct_labels", &distinct_labels, "column"_a,
        "The distinct objects of a one-dimensional object array, in the order first seen "
        "(equal objects are one label, as in a set).");
  m.def("label_positions", &label_positions, "column"_a, "levels"_a, "missing"_a,
        "float64 positions of an object array's labels among `levels` (distinct objects), "
        "`missing` where a label is not among them.");
}

}  // namespace velkan::engine
