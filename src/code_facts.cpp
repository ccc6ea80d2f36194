#include "code_facts.hpp"

#include <new>

#include "monitoring_code_extra.hpp"

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

}  // namespace vask
