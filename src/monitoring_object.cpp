// VaskMonitor as Python sees it: attributes, setters, save and build_trace,
// the six event callbacks and the instruction callback.
#include <string>

#include "monitoring.hpp"
#include "support/py_type.hpp"

namespace vask {
namespace {

using MonitorObject = EngineObject<VaskMonitor>;

PyTypeObject* g_monitor_type = nullptr;  // created on first use, kept for the process

VaskMonitor& monitor_of(PyObject* self) { return MonitorObject::of(self); }

// The one argument `value` of a setter.
PyObject* value_argument(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const char* const names[] = {"value"};
  PyObject* value = nullptr;
  if (!parse_args(fname, args, nargs, kwnames, names, 1, 1, &value)) throw_py();
  return value;
}

bool bool_argument(const char* name, PyObject* value) {
  if (!PyBool_Check(value)) argument_error(name, value, "PyBool");
  return value == Py_True;
}

// ---- attributes ---------------------------------------------------------------

PyObject* get_trace_id(PyObject* self, void*) noexcept {
  return boundary([&] { return make_str(monitor_of(self).core().buffer().trace_id()).release(); });
}

PyObject* get_root_trace_id(PyObject* self, void*) noexcept {
  return boundary(
      [&] { return make_str(monitor_of(self).core().buffer().root_trace_id()).release(); });
}

PyObject* get_active(PyObject* self, void*) noexcept {
  return PyBool_FromLong(monitor_of(self).active());
}

PyObject* get_has_trace_points(PyObject* self, void*) noexcept {
  return PyBool_FromLong(monitor_of(self).has_trace_points());
}

PyObject* get_tool_id(PyObject*, void*) noexcept { return PyLong_FromLong(VaskMonitor::kToolId); }

PyObject* get_flush_subtree_bytes(PyObject* self, void*) noexcept {
  std::optional<uint64_t> bytes = monitor_of(self).core().flusher().flush_subtree_bytes();
  if (!bytes) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*bytes);
}

PyObject* get_line_events(PyObject* self, void*) noexcept {
  return PyBool_FromLong(monitor_of(self).line_events());
}

PyGetSetDef g_monitor_getset[] = {
    {"trace_id", get_trace_id, nullptr, nullptr, nullptr},
    {"root_trace_id", get_root_trace_id, nullptr, nullptr, nullptr},
    {"active", get_active, nullptr, nullptr, nullptr},
    {"has_trace_points", get_has_trace_points, nullptr,
     "Whether at least one ``trace_points.on_return`` target is\n"
     "configured. Used by ``activate_monitoring`` to decide whether to\n"
     "spawn the daemon save worker \u2014 there's no point spinning the\n"
     "worker if no trace point can ever fire.",
     nullptr},
    {"tool_id", get_tool_id, nullptr, nullptr, nullptr},
    {"flush_subtree_bytes", get_flush_subtree_bytes, nullptr,
     "Maximum buffered bytes before flushing a subtree. None means disabled.", nullptr},
    {"line_events", get_line_events, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- setters, save, build_trace ----------------------------------------------------

PyObject* py_set_active(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PyObject* value = value_argument("set_active", args, nargs, kwnames);
    monitor_of(self).set_active(bool_argument("value", value));
    Py_RETURN_NONE;
  });
}

PyObject* py_set_timestamp(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PyObject* value = value_argument("set_timestamp", args, nargs, kwnames);
    double seconds = 0;
    if (PyFloat_CheckExact(value)) {
      seconds = PyFloat_AS_DOUBLE(value);
    } else {
      seconds = PyFloat_AsDouble(value);
      if (seconds == -1.0 && PyErr_Occurred()) {
        Ref cause = fetch_error();
        PyErr_Format(PyExc_TypeError, "argument 'value': %S", cause.get());
        throw_py();
      }
    }
    monitor_of(self).core().buffer().set_timestamp(seconds);
    Py_RETURN_NONE;
  });
}

PyObject* py_set_suspend_hooks(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PyObject* value = value_argument("set_suspend_hooks", args, nargs, kwnames);
    monitor_of(self).set_suspend_hooks(bool_argument("value", value));
    Py_RETURN_NONE;
  });
}

PyObject* py_save(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    monitor_of(self).core().save();
    Py_RETURN_NONE;
  });
}

PyObject* py_build_trace(PyObject* self, PyObject*) {
  return boundary([&] { return monitor_of(self).core().build_trace().release(); });
}

// ---- the event callbacks -------------------------------------------------------------

// `_instruction_offset`: an int, used only to find the event's line when the
// current frame does not run the code object. A negative one
// is accepted: the interpreter passes one for a frame that is unwound before
// its first instruction (an exception raised by a trace function at its
// start), and an error raised here would replace the program's exception.
// Returns false with the argument error set.
bool check_offset(PyObject* offset) {
  if (PyLong_Check(offset)) return true;
  Ref index = Ref::steal(PyNumber_Index(offset));
  if (index) return true;
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError,
               "argument '_instruction_offset': '%.200s' object cannot be interpreted as an "
               "integer",
               Py_TYPE(offset)->tp_name);
  return false;
}

template <FrameEvent kEvent>
PyObject* monitor_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  constexpr bool kHasArg = kEvent != FrameEvent::Call && kEvent != FrameEvent::Resume;
  constexpr Py_ssize_t kCount = kHasArg ? 3 : 2;
  PyObject* a[3] = {nullptr, nullptr, nullptr};
  if (kwnames == nullptr && nargs == kCount) {
    for (Py_ssize_t i = 0; i < kCount; ++i) a[i] = args[i];
  } else {
    static const char* const kArgName =
        (kEvent == FrameEvent::Unwind || kEvent == FrameEvent::Throw) ? "exception" : "retval";
    static const char* const names[] = {"code", "_instruction_offset", kArgName};
    static const std::string fname = "monitor_py" + [] {
      switch (kEvent) {
        case FrameEvent::Call:
          return std::string("start");
        case FrameEvent::Return:
          return std::string("return");
        case FrameEvent::Unwind:
          return std::string("unwind");
        case FrameEvent::Resume:
          return std::string("resume");
        case FrameEvent::Yield:
          return std::string("yield");
        case FrameEvent::Throw:
          break;
      }
      return std::string("throw");
    }();
    if (!parse_args(fname.c_str(), args, nargs, kwnames, names, kCount, kCount, a)) return nullptr;
  }
  if (!check_offset(a[1])) return nullptr;
  int overflow = 0;
  long long offset = PyLong_Check(a[1]) ? PyLong_AsLongLongAndOverflow(a[1], &overflow) : -1;
  if (offset == -1 && PyErr_Occurred()) PyErr_Clear();
  if (overflow != 0) offset = -1;
  return MonitorObject::in_callback(self, [&](VaskMonitor& monitor) {
    return monitor.on_event(a[0], offset, kEvent, kHasArg ? a[2] : Py_None);
  });
}

// monitor_instruction(code, instruction_offset).
PyObject* monitor_instruction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* a[2] = {nullptr, nullptr};
  if (kwnames == nullptr && nargs == 2) {
    a[0] = args[0];
    a[1] = args[1];
  } else {
    static const char* const names[] = {"code", "instruction_offset"};
    if (!parse_args("monitor_instruction", args, nargs, kwnames, names, 2, 2, a)) return nullptr;
  }
  Ref index = Ref::steal(PyNumber_Index(a[1]));
  if (!index) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "argument 'instruction_offset': '%.200s' object cannot be interpreted as an "
                 "integer",
                 Py_TYPE(a[1])->tp_name);
    return nullptr;
  }
  int overflow = 0;
  const long long offset = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0) {
    PyErr_SetString(PyExc_OverflowError, "argument 'instruction_offset': out of range");
    return nullptr;
  }
  return MonitorObject::in_callback(
      self, [&](VaskMonitor& monitor) { return monitor.on_instruction(a[0], offset); });
}

constexpr const char* kSuspendDoc =
    "set_suspend_hooks($self, value)\n--\n\n"
    "Set the calling thread's ``suspend_hooks`` flag from Python. While it is\n"
    "set, every monitoring callback on that thread returns at once and\n"
    "records nothing.\n\n"
    "It exists for the asynchronous trace-point save worker: a daemon thread\n"
    "that runs database, MessagePack and emit work which would otherwise\n"
    "trigger the monitor's callbacks on that thread. The Python wrapper calls\n"
    "``monitor.set_suspend_hooks(True)`` once at worker start-up; the flag is\n"
    "set once and never cleared.\n\n"
    "Like ``set_active``, this method takes the monitor by shared reference:\n"
    "other threads hold shared references through callbacks in flight.";

PyMethodDef g_monitor_methods[] = {
    method_fastcall_keywords("set_active", py_set_active, "set_active($self, value)\n--\n\n"),
    method_fastcall_keywords("set_timestamp", py_set_timestamp,
                             "set_timestamp($self, value)\n--\n\n"),
    method_fastcall_keywords("set_suspend_hooks", py_set_suspend_hooks, kSuspendDoc),
    method_noargs("save", py_save, "save($self)\n--\n\n"),
    method_noargs("build_trace", py_build_trace, "build_trace($self)\n--\n\n"),
    method_fastcall_keywords("monitor_pystart", monitor_callback<FrameEvent::Call>,
                             "monitor_pystart($self, code, _instruction_offset)\n--\n\n"),
    method_fastcall_keywords("monitor_pyreturn", monitor_callback<FrameEvent::Return>,
                             "monitor_pyreturn($self, code, _instruction_offset, retval)\n--\n\n"),
    method_fastcall_keywords(
        "monitor_pyunwind", monitor_callback<FrameEvent::Unwind>,
        "monitor_pyunwind($self, code, _instruction_offset, exception)\n--\n\n"),
    method_fastcall_keywords("monitor_pyresume", monitor_callback<FrameEvent::Resume>,
                             "monitor_pyresume($self, code, _instruction_offset)\n--\n\n"),
    method_fastcall_keywords("monitor_pyyield", monitor_callback<FrameEvent::Yield>,
                             "monitor_pyyield($self, code, _instruction_offset, retval)\n--\n\n"),
    method_fastcall_keywords(
        "monitor_pythrow", monitor_callback<FrameEvent::Throw>,
        "monitor_pythrow($self, code, _instruction_offset, exception)\n--\n\n"),
    method_fastcall_keywords("monitor_instruction", monitor_instruction,
                             "monitor_instruction($self, code, instruction_offset)\n--\n\n"),
    kMethodsEnd,
};

PyTypeObject* monitor_type() {
  if (g_monitor_type != nullptr) return g_monitor_type;
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(MonitorObject::dealloc)},
      {Py_tp_methods, g_monitor_methods},
      {Py_tp_getset, g_monitor_getset},
      {Py_tp_doc, const_cast<char*>("The sys.monitoring tracing engine.")},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      "vask._vask.VaskMonitor",
      sizeof(MonitorObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  g_monitor_type = create_type(&type_spec);
  return g_monitor_type;
}

}  // namespace

Ref register_monitor(const VaskMonitor::Arguments& args) {
  return MonitorObject::wrap(monitor_type(), VaskMonitor::create(args));
}

}  // namespace vask
