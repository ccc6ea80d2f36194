// VaskProfiler as Python sees it: the profile hook, the engine as a
// Python-level profile function, save, build_trace, register_threading_profiler
// and stop; and the module functions that install it.
#include "profiler.hpp"
#include "support/py_type.hpp"

namespace vask {
namespace {

using ProfilerObject = EngineObject<VaskProfiler>;

PyTypeObject* g_profiler_type = nullptr;  // created on first use, kept for the process

// The engine as a Python-level profile function, profiler(frame, event,
// arg), as sys.setprofile calls it: a program that puts back the hook it
// found (old = sys.getprofile(); ...; sys.setprofile(old)), or chains to it
// from a hook of its own, goes on recording the same records.
PyObject* py_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    PyObject* frame = nullptr;
    PyObject* what = nullptr;
    PyObject* arg = nullptr;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
      PyErr_SetString(PyExc_TypeError, "VaskProfiler() takes no keyword arguments");
      throw_py();
    }
    if (!PyArg_UnpackTuple(args, "VaskProfiler", 3, 3, &frame, &what, &arg)) throw_py();
    if (!PyFrame_Check(frame)) argument_error("frame", frame, "PyFrame");
    if (!PyUnicode_Check(what)) argument_error("event", what, "PyString");
    FrameEvent event;
    if (PyUnicode_CompareWithASCIIString(what, "call") == 0) {
      event = FrameEvent::Call;
    } else if (PyUnicode_CompareWithASCIIString(what, "return") == 0) {
      event = FrameEvent::Return;
    } else {
      Py_RETURN_NONE;  // c_call, c_return, c_exception
    }
    const int status = ProfilerObject::in_callback(self, [&](VaskProfiler& profiler) {
      if (profiler.stopped()) {
        VaskProfiler::leave_thread(self);
        return 0;
      }
      // Called from Python, a return's value reads None either way.
      return profiler.on_event(reinterpret_cast<PyFrameObject*>(frame), event, arg, false, false);
    });
    if (status < 0) throw_py();
    Py_RETURN_NONE;
  });
}

PyObject* py_save(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    ProfilerObject::of(self).core().save();
    Py_RETURN_NONE;
  });
}

PyObject* py_build_trace(PyObject* self, PyObject*) {
  return boundary([&] { return ProfilerObject::of(self).core().build_trace().release(); });
}

PyObject* py_register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError,
                 "register_threading_profiler() takes exactly 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  return boundary([&]() -> PyObject* {
    // A thread started in a forked child is not handed the parent's engine.
    if (ProfilerObject::of(self).core().in_forked_child()) Py_RETURN_NONE;
    ProfilerObject::of(self).install(self);
    // The event this was called for is the thread's first, and the native
    // hook set just now never sees it. Where it is a call (the thread's
    // run(), on a Python that reports no event of the hook's own setting
    // first), it is recorded here, so that a Thread subclass's run() has its
    // call, with its arguments, and not only its return.
    if (!PyFrame_Check(args[0]) || !PyUnicode_Check(args[1]) ||
        PyUnicode_CompareWithASCIIString(args[1], "call") != 0) {
      Py_RETURN_NONE;
    }
    const int status = ProfilerObject::in_callback(self, [&](VaskProfiler& profiler) {
      if (profiler.stopped()) return 0;
      return profiler.on_event(reinterpret_cast<PyFrameObject*>(args[0]), FrameEvent::Call,
                               args[2], true, false);
    });
    if (status < 0) throw_py();
    Py_RETURN_NONE;
  });
}

PyObject* py_stop(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* { return ProfilerObject::of(self).stop(self).release(); });
}

PyObject* get_trace_id(PyObject* self, void*) noexcept {
  return boundary(
      [&] { return make_str(ProfilerObject::of(self).core().buffer().trace_id()).release(); });
}

PyGetSetDef g_profiler_getset[] = {
    {"trace_id", get_trace_id, nullptr,
     "The id of the trace being recorded (a new one for each test's trace).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_profiler_methods[] = {
    method_noargs("save", py_save,
                  "save($self)\n--\n\n"
                  "This is called from Python code to trigger saving the trace. Used by\n"
                  ":meth:`vask.profiler.Profiler.save`."),
    method_noargs("build_trace", py_build_trace,
                  "build_trace($self)\n--\n\n"
                  "This is called from Python code to build the trace. Used by\n"
                  ":meth:`vask.profiler.Profiler.upload_trace_in_thread`."),
    method_fastcall(
        "register_threading_profiler", py_register_threading_profiler,
        "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"
        "Register the profiler on the current thread. Called by `threading.setprofile`. See\n"
        ":func:`vask._vask.register_profiler`."),
    method_noargs("stop", py_stop,
                  "stop($self)\n--\n\n"
                  "Stop recording for good, on every thread the engine is installed on: the\n"
                  "calling thread's hook is removed at once, the other threads' hooks at once\n"
                  "where the interpreter allows it or else at their next event. Returns the\n"
                  "idents of the threads whose hook the program replaced with its own."),
    kMethodsEnd,
};

PyTypeObject* profiler_type() {
  if (g_profiler_type != nullptr) return g_profiler_type;
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(ProfilerObject::dealloc)},
      {Py_tp_methods, g_profiler_methods},
      {Py_tp_call, reinterpret_cast<void*>(py_call)},
      {Py_tp_getset, g_profiler_getset},
      {Py_tp_doc,
       const_cast<char*>("The profile-hook tracing engine.\n\n"
                         "Also a profile function: engine(frame, event, arg) records the event\n"
                         "as the native hook does, so that sys.setprofile(sys.getprofile())\n"
                         "goes on recording.")},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      "vask._vask.VaskProfiler",
      sizeof(ProfilerObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  g_profiler_type = create_type(&type_spec);
  return g_profiler_type;
}

}  // namespace

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
  FrameEvent event;
  if (what == PyTrace_CALL) {
    event = FrameEvent::Call;
  } else if (what == PyTrace_RETURN) {
    event = FrameEvent::Return;
  } else {
    return 0;
  }
  if (obj == nullptr || Py_TYPE(obj) != g_profiler_type) {
    return boundary_int([&]() -> int { conversion_error(obj, "VaskProfiler"); });
  }
  return ProfilerObject::in_callback(obj, [&](VaskProfiler& profiler) {
    if (profiler.stopped()) {
      VaskProfiler::leave_thread(obj);
      return 0;
    }
    // The hook gives a return no value when an exception leaves the frame.
    const bool exception_left = what == PyTrace_RETURN && arg == nullptr;
    return profiler.on_event(frame, event, arg == nullptr ? Py_None : arg, true, exception_left);
  });
}

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }

PyObject* register_profiler(PyObject* profiler) {
  if (!PyCallable_Check(profiler)) {
    PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
    throw_py();
  }
  Ref instance = ProfilerObject::wrap(profiler_type(), VaskProfiler::new_from_python(profiler));

  if (PyObject_SetAttrString(profiler, "rust_profiler", instance.get()) < 0) throw_py();
  ProfilerObject::of(instance.get()).install(instance.get());

  Ref config = getattr(profiler, "config");
  bool use_threading = false;
  {
    Ref key = make_str("threading");
    Ref value = Ref::steal(PyObject_GetItem(config.get(), key.get()));
    if (!value) {
      PyErr_Clear();  // a missing or unreadable key means no threading
    } else {
      use_threading = value.get() == Py_True;
    }
  }
  if (use_threading) {
    Ref threading = import("threading");
    Ref setprofile = getattr(threading.get(), "setprofile");
    Ref method = getattr(instance.get(), "register_threading_profiler");
    call(setprofile.get(), method.get());
  }
  Py_RETURN_NONE;
}

}  // namespace vask
