#include "subtree_flush.hpp"

#include <algorithm>
#include <cmath>

namespace vask {

namespace {

constexpr const char* kNotANumber = "flush_subtree_mb must be a non-negative number or false";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMinTriggerSlack = 64 * kMiB;
// 2^64 as a double: the first value that no longer fits an unsigned 64-bit
// integer (every double below it truncates to one that does).
constexpr double kTwoTo64 = 18446744073709551616.0;

[[noreturn]] void value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  throw_py();
}

}  // namespace

std::optional<uint64_t> resolve_flush_subtree_bytes(PyObject* config) {
  if (!PyDict_Check(config)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyDict'",
                 Py_TYPE(config)->tp_name);
    throw_py();
  }
  Ref key = make_str("flush_subtree_mb");
  PyObject* value = PyDict_GetItemWithError(config, key.get());  // borrowed
  if (value == nullptr) {
    if (PyErr_Occurred()) throw_py();
    return kDefaultFlushSubtreeBytes;
  }
  if (value == Py_None || value == Py_False) return std::nullopt;
  if (value == Py_True) {
    value_error(
        "flush_subtree_mb = true is not valid; use false to disable or a non-negative number to "
        "set the threshold");
  }
  double mb = 0.0;
  if (PyFloat_CheckExact(value)) {
    mb = PyFloat_AS_DOUBLE(value);
  } else {
    // Keep the reference alive: the float protocol may run Python code that
    // drops the dict's own.
    Ref hold = Ref::incref(value);
    mb = PyFloat_AsDouble(hold.get());
    if (mb == -1.0 && PyErr_Occurred()) {
      // The reason (a str, an int too large for a float) is replaced by the
      // one message that tells the user what the setting accepts.
      PyErr_Clear();
      value_error(kNotANumber);
    }
  }
  if (!std::isfinite(mb) || mb < 0.0) value_error(kNotANumber);
  const double bytes = mb * static_cast<double>(kMiB);
  if (bytes >= kTwoTo64) value_error("flush_subtree_mb is too large for this platform");
  return static_cast<uint64_t>(bytes);
}

uint64_t flush_trigger_bytes(std::optional<uint64_t> flush_subtree_bytes) noexcept {
  if (!flush_subtree_bytes || *flush_subtree_bytes < kMiB) return 0;
  const uint64_t threshold = *flush_subtree_bytes;
  const uint64_t slack = std::max(threshold >> 3, kMinTriggerSlack);
  return threshold > slack ? threshold - slack : 0;
}

}  // namespace vask
