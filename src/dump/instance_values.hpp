// An instance's attributes read where the interpreter keeps them, without
// making the dict the program never asked for. From 3.11 on, an object of a
// plain class keeps its attributes as "inline values" next to the keys its
// class shares among its instances; the dict appears only when something asks
// for it (vars(), __dict__, _PyObject_GetDictPtr). Reading them here leaves
// the object as the program left it.
#pragma once

#include <cstdint>

#include "support/py.hpp"

namespace vask::dump {

// Calls add(name, value) (both borrowed from the object, valid while no
// Python code runs) for each of v's own attributes in insertion order, when
// v's attributes are inline values; returns false, having called nothing,
// when they are not (no such layout, or a dict has been made: the caller reads
// that dict). Runs no Python code and allocates nothing. GIL held.
template <class Add>
bool for_each_inline_value(PyObject* v, Add&& add);

namespace detail {
// Where v's inline values are: value i belongs to the class's shared key i,
// and order[k * step] is the index of the k-th attribute set (k < count).
struct InlineEntry {
  PyObject* key;
  PyObject* value;  // unused in shared keys
};
struct InlineValues {
  const InlineEntry* keys = nullptr;
  Py_ssize_t key_count = 0;
  PyObject* const* values = nullptr;
  const uint8_t* order = nullptr;
  int step = 1;
  int count = 0;
};
bool inline_values(PyObject* v, InlineValues& out) noexcept;
}  // namespace detail

template <class Add>
bool for_each_inline_value(PyObject* v, Add&& add) {
  detail::InlineValues iv;
  if (!detail::inline_values(v, iv)) return false;
  for (int k = 0; k < iv.count; ++k) {
    const int ix = iv.order[k * iv.step];
    if (ix >= iv.key_count) break;  // checked by inline_values(); never past the keys
    PyObject* name = iv.keys[ix].key;
    PyObject* value = iv.values[ix];
    if (name != nullptr && value != nullptr) add(name, value);  // else a deleted attribute
  }
  return true;
}

}  // namespace vask::dump
