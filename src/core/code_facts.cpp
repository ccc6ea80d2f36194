#include "core/code_facts.hpp"

#include <new>

#include "core/code_extra.hpp"

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

namespace {

// The interpreter's own answer is needed: a trace function may have set the
// line (from 3.11 on f_lineno holds a line only while one runs for the frame
// or jumps it, and the thread state says whether one is set at all), or the
// instruction offset is not known.
bool line_from_interpreter(PyFrameObject* frame, int& offset) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  if (PyThreadState_Get()->c_tracefunc != nullptr) return true;
  offset = PyFrame_GetLasti(frame);
#else
  if (frame->f_trace != nullptr) return true;
  offset = frame->f_lasti;
#endif
  return offset < 0;
}

PyCodeObject* code_of(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
  Py_DECREF(code);                              // the frame keeps it alive
  return code;
#else
  return frame->f_code;
#endif
}

}  // namespace

int frame_line(PyFrameObject* frame) noexcept {
  return frame_line(frame, code_facts(code_of(frame)));
}

int frame_line(PyFrameObject* frame, CodeFacts* facts) noexcept {
  int offset = -1;
  if (facts == nullptr || line_from_interpreter(frame, offset)) {
    return PyFrame_GetLineNumber(frame);
  }
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
