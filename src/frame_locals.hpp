// A function frame's variables as Python 3.13's f_locals proxy lists them,
// read from the frame itself, as a dict or as (name, value) pairs (3.13).
#pragma once

#include <array>
#include <vector>

#include "support/py.hpp"

namespace vask {

struct CodeFacts;

// Owned references to (name, value) pairs, kept flat: name, value, name,
// value, ... Released on destruction. No allocation up to kInline pairs.
class NamePairs {
 public:
  static constexpr size_t kInline = 16;
  NamePairs() = default;
  NamePairs(const NamePairs&) = delete;
  NamePairs& operator=(const NamePairs&) = delete;
  ~NamePairs() {
    for (size_t i = 0; i < size_; ++i) drop_in_destructor(data()[i]);
  }
  // Takes a reference to each.
  void add(PyObject* name, PyObject* value) {
    if (size_ + 2 > kInline * 2 && spill_.empty()) {
      spill_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(size_));
    }
    Py_INCREF(name);
    Py_INCREF(value);
    if (spill_.empty()) {
      inline_[size_] = name;
      inline_[size_ + 1] = value;
    } else {
      spill_.push_back(name);
      spill_.push_back(value);
    }
    size_ += 2;
  }
  PyObject* const* data() const noexcept { return spill_.empty() ? inline_.data() : spill_.data(); }
  Py_ssize_t count() const noexcept { return static_cast<Py_ssize_t>(size_ / 2); }

 private:
  std::array<PyObject*, kInline * 2> inline_;
  std::vector<PyObject*> spill_;
  size_t size_ = 0;
};

// Whether this build reads function frames' variables from the interpreter's
// own frame layout (function_frame_locals below): only on 3.13, the one
// version whose layout this reader is written and tested for. Every other
// version reads them through the public f_locals (PyFrame_GetLocals).
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#define VASK_READS_FRAME_LAYOUT 1
#else
#define VASK_READS_FRAME_LAYOUT 0
#endif

#if VASK_READS_FRAME_LAYOUT
// dict(frame.f_locals.items()) for a frame whose f_locals is a write-through
// proxy (an optimized code object: a function, a comprehension, a
// generator): the frame's bound variables in the code object's order, cells
// and free variables read through, then the names the program added through
// the proxy, in their order. No proxy object, no list of pairs: the dict is
// the only allocation. Returns a null Ref, with no error set, for a frame
// whose f_locals is not such a proxy (module and class bodies); throws
// PyErrSet when an insert fails. GIL held; `frame` is live or finished, never
// a frame still being set up.
Ref function_frame_locals(PyFrameObject* frame);

// The entries of function_frame_locals(frame) without __builtins__, added to
// `pairs` (empty), when they can stand for that dict exactly: false, with
// `pairs` left empty, for a frame function_frame_locals() leaves to the
// proxy, for one with names added through the proxy (any hashable, which the
// dict might merge), and for a code object whose variable names are not
// distinct exact str (or whose `facts`, those of the frame's code object,
// are not kept: null). GIL held; runs no Python code.
bool function_frame_pairs(PyFrameObject* frame, CodeFacts* facts, NamePairs& pairs);
#endif

}  // namespace vask
