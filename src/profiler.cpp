#include "profiler.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

#include "code_facts.hpp"
#include "support/log.hpp"
#include "support/py_type.hpp"

namespace vask {
namespace {

using ProfilerObject = EngineObject<VaskProfiler>;

PyTypeObject* g_profiler_type = nullptr;  // created on first use, kept for the process

constexpr const char* kLogMessage =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

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
    return profiler.on_event(frame, event, arg == nullptr ? Py_None : arg, true);
  });
}

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
      return profiler.on_event(reinterpret_cast<PyFrameObject*>(frame), event, arg, false);
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

PyObject* py_register_threading_profiler(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError,
                 "register_threading_profiler() takes exactly 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  return boundary([&]() -> PyObject* {
    // A thread started in a forked child is not handed the parent's engine.
    if (!ProfilerObject::of(self).core().in_forked_child()) ProfilerObject::of(self).install(self);
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

// The profile engine's verdict on a file name, in its word of the code
// object's facts, under its serial.
constexpr uintptr_t kVerdictSet = 1;
constexpr uintptr_t kByName = 2;     // the name decides: recorded or not, below
constexpr uintptr_t kRecorded = 4;   // with kByName
constexpr uintptr_t kAttrsMake = 8;  // the file is attrs' class-generation module
constexpr int kSerialShift = 4;

std::string required_str_attr(PyObject* obj, const char* name) {
  Ref value = getattr(obj, name);
  return str_text(value.get());
}

}  // namespace

// ---- construction -----------------------------------------------------------

std::unique_ptr<VaskProfiler> VaskProfiler::new_from_python(PyObject* profiler) {
  std::unique_ptr<VaskProfiler> p(new VaskProfiler());

  Ref config = getattr(profiler, "config");
  if (!PyDict_Check(config.get())) conversion_error(config.get(), "PyDict");
  Config config_record = Config::from_dict(config.get());

  PyObject* filters = PyDict_GetItemWithError(config.get(), make_str("filters").get());
  if (filters == nullptr && PyErr_Occurred()) fault("config.get(\"filters\") should not raise.");
  Ref filters_ref = Ref::incref(filters);  // a dict's value may go away with the dict
  // The host's own files are internal wherever the package lives.
  note_package_dir(config_record.find("package_dir"));

  std::string trace_id = required_str_attr(profiler, "trace_id");

  Ref threading = import("threading");
  p->current_thread_ = getattr(threading.get(), "current_thread");
  Ref thread = call(p->current_thread_.get());

  TraceSettings settings;
  EngineCore::Options options;
  EngineCore::read_limits(config.get(), options, settings);

  Ref db_path = getattr(profiler, "db_path");
  Ref db_path_text = Ref::check(PyObject_Str(db_path.get()));
  settings.db_path = fs_encode(db_path_text.get());

  Ref one_trace_per_test = getattr(profiler, "one_trace_per_test");
  if (!PyBool_Check(one_trace_per_test.get())) conversion_error(one_trace_per_test.get(), "PyBool");

  Ref name = getattr(profiler, "trace_name");
  if (name.get() != Py_None) settings.default_trace_name = str_text(name.get());

  settings.source = required_str_attr(profiler, "source");

  p->include_frames_ = load_filters(filters_ref.get(), "include_frames");
  p->ignore_frames_ = load_filters(filters_ref.get(), "ignore_frames");

  PluginRegistry plugins = load_plugins(config.get());

  const double started = timestamp();
  settings.main_thread_id = get_thread_id(thread.get());

  settings.sqlite_busy_timeout = config_record.get_uint("sqlite_busy_timeout", 60);
  const bool lightweight_repr = config_record.get_bool("lightweight_repr", false);
  Serializer serializer = Serializer::create();
  const bool omit_return_locals = config_record.get_bool("omit_return_locals", false);
  p->records_.emplace(std::move(serializer), std::move(plugins), lightweight_repr,
                      omit_return_locals);

  settings.use_monitoring = false;
  p->serial_ = detail::next_owner_id();
  options.one_trace_per_test = one_trace_per_test.get() == Py_True;
  options.flush_policy = FlushPolicy::OneCandidatePerCheck;
  p->core_.emplace(std::move(settings), std::move(config_record), std::move(trace_id), started,
                   options);
  return p;
}

// ---- the profile callback ------------------------------------------------------

bool VaskProfiler::should_record(PyFrameObject* frame, PyCodeObject* code,
                                 std::string_view filename, bool hooked) {
  PyObject* frame_obj = reinterpret_cast<PyObject*>(frame);
  if (!hooked) return profiler_should_record(frame_obj, filename, include_frames_, ignore_frames_);
  uintptr_t word = 0;
  CodeFacts* facts = code_facts(code);
  if (facts != nullptr && (facts->engine_word >> kSerialShift) == serial_) {
    word = facts->engine_word;
  } else {
    // The rules that need the file name only, in profiler_should_record's
    // order.
    word = kVerdictSet;
    if (include_frames_.any(filename)) {
      word |= kByName | kRecorded;
    } else if (excluded_by_fixed_rules(filename) || generated_name(filename) ||
               ignore_frames_.any(filename)) {
      word |= kByName;
    }
    if (ends_with_attrs_make(filename)) word |= kAttrsMake;
    if (facts != nullptr)
      facts->engine_word = (static_cast<uintptr_t>(serial_) << kSerialShift) | word;
  }
  if ((word & kAttrsMake) != 0) attrs_seen_.store(true, std::memory_order_relaxed);
  if ((word & kByName) != 0) return (word & kRecorded) != 0;
  if (!attrs_seen_.load(std::memory_order_relaxed)) return true;
  return !attrs_filter(frame_obj, filename);
}

int VaskProfiler::on_event(PyFrameObject* frame, FrameEvent event, PyObject* arg, bool hooked) {
  // The child of a fork() runs the parent's hook until the host replaces it.
  if (core_->in_forked_child()) return 0;
  // Recording never disturbs an exception the traced program has in flight.
  ErrorStash stash;
  std::optional<PerThread<EngineThreadState>::Borrow> borrowed;
  try {
    borrowed.emplace(thread_state_.borrow());
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(nullptr);
    return 0;
  }
  EngineThreadState& ts = **borrowed;
  if (ts.suspended) return 0;

  // Invariant: a real frame always has a code object whose name and file name
  // are str; the texts stay alive with `code` (and their escaped copies,
  // for a file name with lone surrogates, with themselves).
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  auto* co = reinterpret_cast<PyCodeObject*>(code.get());
  const std::optional<Utf8Text> filename_text = try_utf8_text(co->co_filename);
  const std::optional<Utf8Text> co_name_text = try_utf8_text(co->co_name);
  if (!filename_text || !co_name_text) return 0;
  const std::string_view filename = filename_text->text();
  const std::string_view co_name = co_name_text->text();
  PyObject* frame_obj = reinterpret_cast<PyObject*>(frame);

  // Errors of recording are logged and dropped. An exception of the program
  // met on the way (a signal handler runs inside a dumper as anywhere else)
  // is the program's own: the event is finished, then it is raised in the
  // traced frame.
  EventErrors errors;
  auto log = [&](Ref error) {
    return log_error(std::move(error), frame, event, filename, co_name);
  };

  RecordBatch& batch = ts.scratch;
  batch.clear();

  // Plugins watch functions by name: only functions with a watcher take
  // the plugin lock.
  if (const RecordMaker::Watchers* watchers = records_->watchers(co_name)) {
    records_->add_plugin_records(*watchers, frame_obj, event, arg, filename, ts, batch, errors,
                                 log);
  }

  bool recorded = false;
  try {
    recorded = should_record(frame, co, filename, hooked);
  } catch (...) {
    errors.report(log);
  }

  auto identify = [&] {
    // The thread object stays the same for the life of a thread state
    // (threading keeps it in its table from before the hook is set until
    // after the thread's last recorded event); a thread state made later on
    // the same OS thread (C code entering Python again) asks afresh.
    const uint64_t tstate_id = PyThreadState_GetID(PyThreadState_Get());
    if (ts.cached_thread && ts.cached_thread_state == tstate_id) return;
    core_->set_thread(ts, call(current_thread_.get()).get());
    ts.cached_thread_state = tstate_id;
  };
  if (recorded) {
    try {
      if (core_->admits(ts, frame_obj, event, identify)) {
        records_->add_frame_record(ts, frame_obj, event,
                                   event == FrameEvent::Return ? ArgKind::Argument : ArgKind::None,
                                   arg, co_name, batch);
      }
    } catch (...) {
      // The function's own record is lost; records the plugins made for this
      // event (a test start, a request) are still stored below.
      errors.report(log);
    }
  }

  core_->store_event(ts, event, batch, errors, log, identify);

  Ref program_error = core_->finish_event(errors);
  if (!program_error) return 0;
  stash.discard();  // the program's exception replaces whatever was in flight
  restore_error(std::move(program_error));
  return -1;
}

// ---- installing and stopping -------------------------------------------------------

void VaskProfiler::install(PyObject* self) {
  if (stopped()) return;
  PyThreadState* tstate = PyThreadState_Get();
  // A frame of attrs' class-generation module already running is one the
  // hook never sees enter.
  if (!attrs_seen_.load(std::memory_order_relaxed)) {
    for (Ref f = Ref::incref(reinterpret_cast<PyObject*>(PyEval_GetFrame())); f;
         f = Ref::steal(reinterpret_cast<PyObject*>(
             PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(f.get()))))) {
      const Utf8Text filename = frame_filename(f.get());
      if (ends_with_attrs_make(filename.text())) {
        attrs_seen_.store(true, std::memory_order_relaxed);
        break;
      }
    }
  }
  {
    // No Python code runs under the lock: setting the hook drops the one
    // it replaces, which may run any code.
    auto hooked = hooked_.lock();
    note_hooked(hooked, tstate);
  }
  PyEval_SetProfile(profile_callback, self);
}

void VaskProfiler::note_hooked(Guarded<std::vector<HookedThread>>::Locked& hooked,
                               PyThreadState* tstate) {
  if (hooked->size() >= prune_at_) {
    // Entries of threads that ended go; what is left sets the next bound.
    std::vector<HookedThread> alive;
    for (PyThreadState* t = PyInterpreterState_ThreadHead(tstate->interp); t != nullptr;
         t = PyThreadState_Next(t)) {
      for (const HookedThread& h : *hooked) {
        if (h.tstate == t && h.thread_id == t->thread_id) {
          alive.push_back(h);
          break;
        }
      }
    }
    *hooked = std::move(alive);
    prune_at_ = std::max<size_t>(64, hooked->size() * 2);
  }
  hooked->push_back(HookedThread{tstate, tstate->thread_id});
}

void VaskProfiler::leave_thread(PyObject* self) {
  if (PyThreadState_Get()->c_profileobj == self) PyEval_SetProfile(nullptr, nullptr);
}

Ref VaskProfiler::stop(PyObject* self) {
  Ref replaced = Ref::check(PyList_New(0));
  if (stopped_.exchange(true, std::memory_order_acq_rel)) return replaced;
  PyThreadState* tstate = PyThreadState_Get();
  // A hook of the program's own: a profile function that is not this engine
  // (neither the native hook nor this engine called as a Python function).
  bool foreign_hooks = false;
  std::vector<unsigned long> replaced_ids;
  {
    auto hooked = hooked_.lock();
    for (PyThreadState* t = PyInterpreterState_ThreadHead(tstate->interp); t != nullptr;
         t = PyThreadState_Next(t)) {
      if (t->c_profilefunc == nullptr || t->c_profileobj == self) continue;
      foreign_hooks = true;
      for (const HookedThread& h : *hooked) {
        if (h.tstate == t && h.thread_id == t->thread_id) {
          replaced_ids.push_back(t->thread_id);
          break;
        }
      }
    }
    hooked->clear();
  }
  for (unsigned long id : replaced_ids) {
    Ref ident = Ref::check(PyLong_FromUnsignedLong(id));
    if (PyList_Append(replaced.get(), ident.get()) < 0) throw_py();
  }
#if PY_VERSION_HEX >= 0x030C0000
  if (!foreign_hooks) {
    // Every hook there is is this engine's: all of them go at once.
    PyEval_SetProfileAllThreads(nullptr, nullptr);
    return replaced;
  }
#endif
  (void)foreign_hooks;
  leave_thread(self);
  return replaced;
}

Ref VaskProfiler::log_error(Ref error, PyFrameObject* frame, FrameEvent event,
                            std::string_view co_filename, std::string_view co_name) {
  return vask::log_error(std::move(error), [&] {
    Ref locals = getattr(reinterpret_cast<PyObject*>(frame), interned().f_locals);
    Ref locals_copy = call(reinterpret_cast<PyObject*>(&PyDict_Type), locals.get());
    Ref args = Ref::check(PyTuple_New(5));
    PyTuple_SET_ITEM(args.get(), 0, make_str(kLogMessage).release());
    PyTuple_SET_ITEM(args.get(), 1, make_str(co_filename).release());
    PyTuple_SET_ITEM(args.get(), 2, make_str(co_name).release());
    PyTuple_SET_ITEM(args.get(), 3, make_str(event_name(event)).release());
    PyTuple_SET_ITEM(args.get(), 4, locals_copy.release());
    return args;
  });
}

// ---- module functions -----------------------------------------------------------

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
