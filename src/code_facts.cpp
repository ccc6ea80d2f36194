#include "code_facts.hpp"

#include <new>

#include "code_extra.hpp"

namespace vask {
namespace {

// Called by the interpreter when the code object goes, GIL held. Dropping
// `module_name` (a str) runs no Python code.
void free_facts(void* facts) { delete static_cast<CodeFacts*>(facts); }

// The slot, requested once per process; -1 when the interpreter has none
// left. GIL held.
Py_ssize_t facts_index() noexcept {
  static const Py_ssize_t index = request_code_extra_index(free_facts);
  return index;
}

}  // namespace

CodeFacts* code_facts(PyCodeObject* code) noexcept {
  const Py_ssize_t index = facts_index();
  if (index < 0) return nullptr;
  auto* obj = reinterpret_cast<PyObject*>(code);
  const std::optional<void*> extra = code_extra(obj, index);
  if (!extra) return nullptr;
  if (*extra != nullptr) return static_cast<CodeFacts*>(*extra);
  auto* facts = new (std::nothrow) CodeFacts();
  if (facts == nullptr) return nullptr;
  if (!set_code_extra(obj, index, facts)) {
    delete facts;
    return nullptr;
  }
  return facts;
}

int frame_line(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  // From 3.11 on f_lineno holds a line only while a trace function runs for
  // the frame (or jumps it); the interpreter's thread state says whether one
  // is set at all.
  if (PyThreadState_Get()->c_tracefunc != nullptr) return PyFrame_GetLineNumber(frame);
  const int offset = PyFrame_GetLasti(frame);
  PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
  Py_DECREF(code);                              // the frame keeps it alive
#else
  // Before 3.11 f_lineno is the line of a frame with a trace function.
  if (frame->f_trace != nullptr) return PyFrame_GetLineNumber(frame);
  const int offset = frame->f_lasti;
  PyCodeObject* code = frame->f_code;
#endif
  CodeFacts* facts = offset < 0 ? nullptr : code_facts(code);
  if (facts == nullptr) return PyFrame_GetLineNumber(frame);
  // Offsets count code units of two bytes from 3.11 on.
  constexpr unsigned kUnit = PY_VERSION_HEX >= 0x030B0000 ? 2 : 1;
  CodeFacts::LineEntry& entry =
      facts->lines[(static_cast<unsigned>(offset) / kUnit) % facts->lines.size()];
  if (entry.offset != offset) {
    entry.line = PyFrame_GetLineNumber(frame);
    entry.offset = offset;
  }
  return entry.line;
}

}  // namespace vask
