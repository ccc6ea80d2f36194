#include "config.hpp"

#include <array>
#include <cstdio>

namespace vask {

namespace {

// Keys that configure the engines themselves (or are interpreted only by the
// host package); they are never stored in a trace document.
constexpr std::array<std::string_view, 6> kExcludedKeys = {
    "filters", "processors", "auto_emit", "trace_points", "flush_subtree_mb", "package_dir"};

bool excluded(std::string_view key) noexcept {
  for (std::string_view k : kExcludedKeys) {
    if (k == key) return true;
  }
  return false;
}

// The key as a quoted, escaped literal, so that control characters and quotes
// in a key cannot garble the warning line.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    char buf[16];
    if (c < 0x20 || c == 0x7f) {
      std::snprintf(buf, sizeof buf, "\\u{%x}", c);
      out += buf;
    } else if (c == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // U+0080..U+009F, the C1 controls, in their two-byte UTF-8 form.
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned char>(text[i + 1]));
      out += buf;
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

// Converts one stored value for the trace document, or nullopt when it has no
// MessagePack form. The order of the tests is the contract: a str is never
// tried as a number, bool comes before int, and an int out of the signed
// 64-bit range becomes a float. Conversion errors are part of the test and are
// discarded; the caller must not have an exception in flight.
std::optional<MpValue> convert_value(PyObject* value) {
  if (value == Py_None) return MpValue{};
  if (PyUnicode_Check(value)) {
    if (auto text = try_utf8_text(value)) return MpValue{std::string(text->text())};
    return std::nullopt;  // no memory for the escaped copy
  }
  if (PyBool_Check(value)) return MpValue{value == Py_True};
  if (PyLong_Check(value) || PyIndex_Check(value)) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (index) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        return MpValue{static_cast<int64_t>(v)};
      }
    }
    PyErr_Clear();
  }
  if (PyFloat_Check(value)) return MpValue{PyFloat_AS_DOUBLE(value)};
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return MpValue{d};
}

}  // namespace

Config Config::from_dict(PyObject* dict) {
  if (!PyDict_Check(dict)) conversion_error(dict, "PyDict");
  Config config;
  config.entries_.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;    // borrowed
  PyObject* value = nullptr;  // borrowed
  // No Python code runs inside the loop (str_text only encodes, with a
  // built-in error handler), so the dict cannot change under PyDict_Next.
  while (PyDict_Next(dict, &pos, &key, &value)) {
    config.entries_.emplace_back(str_text(key), Ref::incref(value));
  }
  return config;
}

PyObject* Config::find(std::string_view key) const noexcept {
  // A handful of keys, looked up only at construction: a scan beats hashing.
  for (const auto& [k, v] : entries_) {
    if (k == key) return v.get();
  }
  return nullptr;
}

bool Config::get_bool(std::string_view key, bool default_value) const {
  PyObject* value = find(key);
  if (value == nullptr) return default_value;
  if (!PyBool_Check(value)) conversion_error(value, "PyBool");
  return value == Py_True;
}

uint64_t Config::get_uint(std::string_view key, uint64_t default_value) const {
  PyObject* value = find(key);
  if (value == nullptr) return default_value;
  // TypeError for non-integers; OverflowError for negative or too large ones.
  Ref index = Ref::check(PyNumber_Index(value));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_py();
  return static_cast<uint64_t>(v);
}

MpMap Config::to_dict(bool warn) const {
  MpMap out;
  out.reserve(entries_.size());
  for (const auto& [key, value] : entries_) {
    if (excluded(key)) continue;
    if (auto converted = convert_value(value.get())) {
      out.emplace_back(key, std::move(*converted));
    } else if (warn) {
      print_stdout_line("unsupported config type: " + quoted(key));
    }
  }
  return out;
}

Ref Config::stored_entries() const {
  Ref out = Ref::check(PyDict_New());
  for (const auto& [key, value] : entries_) {
    if (excluded(key)) continue;
    if (PyDict_SetItem(out.get(), make_str(key).get(), value.get()) < 0) throw_py();
  }
  return out;
}

}  // namespace vask
