#include "dump/redaction_py.hpp"

#include <cstdint>

namespace vask {
namespace {

// The names held by one configuration value: a str of comma-separated names,
// or a list or tuple of str.
std::vector<std::string> names_of(PyObject* value, const char* key) {
  std::vector<std::string> names;
  auto add = [&](std::string_view name) {
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!Redaction::has_words(name)) {
      PyErr_Format(PyExc_ValueError,
                   "config '%s': '%.200s' holds no name (only '-', '_' or digits)", key,
                   std::string(name).c_str());
      throw_py();
    }
    names.emplace_back(name);
  };
  if (PyUnicode_Check(value)) {
    const Utf8Text utf8 = utf8_text(value);
    const std::string_view text = utf8.text();
    size_t from = 0;
    while (from <= text.size()) {
      size_t comma = text.find(',', from);
      if (comma == std::string_view::npos) comma = text.size();
      std::string_view part = text.substr(from, comma - from);
      if (part.find_first_not_of(' ') != std::string_view::npos) add(part);
      from = comma + 1;
    }
    return names;
  }
  if (!PyList_Check(value) && !PyTuple_Check(value)) {
    PyErr_Format(PyExc_TypeError,
                 "config '%s' must be true, false, a list of names or a comma-separated str, "
                 "not %.200s",
                 key, Py_TYPE(value)->tp_name);
    throw_py();
  }
  // A list cannot change under the loop: nothing here runs Python code.
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(value, i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "config '%s' must hold only str, found %.200s: %R", key,
                   Py_TYPE(item)->tp_name, item);
      throw_py();
    }
    const Utf8Text name = utf8_text(item);
    add(name.text());
  }
  return names;
}

}  // namespace

std::optional<std::vector<std::string>> redaction_names_from_config(PyObject* redact,
                                                                    PyObject* extra) {
  std::optional<std::vector<std::string>> names;
  if (redact == nullptr || redact == Py_True) {
    names.emplace(default_redact_names().begin(), default_redact_names().end());
  } else if (redact != Py_False && redact != Py_None) {
    names = names_of(redact, "redact");
  }
  if (extra == nullptr || extra == Py_None) return names;
  std::vector<std::string> added = names_of(extra, "redact_extra");
  if (!names) {
    if (added.empty()) return names;
    PyErr_SetString(PyExc_ValueError,
                    "config 'redact_extra' adds names to redaction, which 'redact' turns off");
    throw_py();
  }
  names->insert(names->end(), added.begin(), added.end());
  return names;
}

Redactor::~Redactor() {
  for (Slot& slot : slots_) drop_in_destructor(slot.name);
}

bool Redactor::judge(PyObject* name) {
  Slot& slot = slot_of(name);
  const bool cached = PyUnicode_CheckExact(name);
  const Utf8Text text = utf8_text(name);
  const bool secret = rules_.is_secret(text.text());
  if (!cached) return secret;
  // The old name is released last: its deallocation runs no Python code, but
  // the slot must be consistent before anything else happens.
  PyObject* old = slot.name;
  Py_INCREF(name);
  slot.name = name;
  slot.secret = secret;
  Py_XDECREF(old);
  return secret;
}

}  // namespace vask
