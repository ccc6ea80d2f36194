// An instance's attributes read where the interpreter keeps them, without
// making the dict the program never asked for. From 3.11 on, an object of a
// plain class keeps its attributes as "inline values" next to the keys its
// class shares among its instances; the dict appears only when something asks
// for it (vars(), __dict__, _PyObject_GetDictPtr). Reading them here leaves
// the object as the program left it.
#pragma once

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
// Where v's inline values are, as (names, values) arrays in insertion order
// of `count` entries; false when v has none. Filled into caller storage:
// at most kMaxInlineValues entries are ever inline.
inline constexpr int kMaxInlineValues = 256;
struct InlineValues {
  int count = 0;
  PyObject* names[kMaxInlineValues];
  PyObject* values[kMaxInlineValues];
};
bool inline_values(PyObject* v, InlineValues& out) noexcept;
}  // namespace detail

template <class Add>
bool for_each_inline_value(PyObject* v, Add&& add) {
  detail::InlineValues iv;
  if (!detail::inline_values(v, iv)) return false;
  for (int i = 0; i < iv.count; ++i) add(iv.names[i], iv.values[i]);
  return true;
}

}  // namespace vask::dump
