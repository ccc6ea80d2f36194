#include "profiler.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

#include "core/code_facts.hpp"
#include "support/log.hpp"
#include "support/py_type.hpp"

namespace vask {
namespace {

constexpr const char* kLogMessage =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

std::string required_str_attr(PyObject* obj, const char* name) {
  Ref value = getattr(obj, name);
  return str_text(value.get());
}

}  // namespace

// ---- construction -----------------------------------------------------------

std::unique_ptr<VaskProfiler> VaskProfiler::new_from_python(PyObject* profiler) {
  std::unique_ptr<VaskProfiler> p(new VaskProfiler());

  // The configuration is checked before any other attribute is read.
  Ref config = getattr(profiler, "config");
  if (!PyDict_Check(config.get())) conversion_error(config.get(), "PyDict");

  EngineIdentity identity;
  identity.trace_id = required_str_attr(profiler, "trace_id");
  Ref db_path = getattr(profiler, "db_path");
  Ref db_path_text = Ref::check(PyObject_Str(db_path.get()));
  identity.db_path = fs_encode(db_path_text.get());
  Ref one_trace_per_test = getattr(profiler, "one_trace_per_test");
  if (!PyBool_Check(one_trace_per_test.get())) conversion_error(one_trace_per_test.get(), "PyBool");
  identity.one_trace_per_test = one_trace_per_test.get() == Py_True;
  Ref name = getattr(profiler, "trace_name");
  if (name.get() != Py_None) identity.name = str_text(name.get());
  identity.source = required_str_attr(profiler, "source");
  identity.use_monitoring = false;

  EngineParts parts = EngineParts::from_config(config.get(), std::move(identity));
  parts.options.flush_policy = FlushPolicy::OneCandidatePerCheck;
  p->core_.emplace(std::move(parts));
  return p;
}

// ---- the profile callback ------------------------------------------------------

bool VaskProfiler::should_record(PyFrameObject* frame, const CodeVerdict& verdict,
                                 std::string_view filename, bool hooked) {
  PyObject* frame_obj = reinterpret_cast<PyObject*>(frame);
  if (!hooked) return core_->should_record(frame_obj, filename);
  if (verdict.attrs_make) attrs_seen_.store(true, std::memory_order_relaxed);
  switch (verdict.recorded) {
    case NameVerdict::Recorded:
      return true;
    case NameVerdict::Left:
      return false;
    case NameVerdict::ByCallers:
      break;
  }
  if (!attrs_seen_.load(std::memory_order_relaxed)) return true;
  return !attrs_filter(frame_obj, filename);
}

int VaskProfiler::on_event(PyFrameObject* frame, FrameEvent event, PyObject* arg, bool hooked,
                           bool exception_left) {
  // Invariant: a real frame always has a code object, which it holds for
  // the event.
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  PyObject* frame_obj = reinterpret_cast<PyObject*>(frame);
  std::string_view shown_filename;
  std::string_view shown_co_name;
  auto log = [&](Ref error) {
    return log_error(std::move(error), frame, event, shown_filename, shown_co_name);
  };
  const EventEnd end = core_->event(
      thread_state_, code.get(), Py_None, [](EngineThreadState&, EventErrors&) {},
      [&](EngineThreadState& ts, PyCodeObject*, std::string_view filename, std::string_view co_name,
          const CodeVerdict& verdict, EventErrors& errors) {
        shown_filename = filename;
        shown_co_name = co_name;
        auto identify = [&] {
          // The thread object stays the same for the life of a thread state
          // (threading keeps it in its table from before the hook is set
          // until after the thread's last recorded event); a thread state
          // made later on the same OS thread (C code entering Python again)
          // asks afresh, and so does one whose object is gone (it is held
          // weakly).
          const uint64_t tstate_id = PyThreadState_GetID(PyThreadState_Get());
          if (ts.cached_thread_state == tstate_id && ts.cached_thread.alive()) return;
          core_->set_thread(ts, call(core_->current_thread()).get());
          ts.cached_thread_state = tstate_id;
        };
        core_->record_event(
            ts, frame_obj, event, event == FrameEvent::Return ? ArgKind::Argument : ArgKind::None,
            arg, exception_left, filename, co_name, verdict.watched, verdict.target,
            [&] { return should_record(frame, verdict, filename, hooked); }, identify, errors, log);
        return Py_None;
      },
      log);
  return end.raised ? -1 : 0;
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

}  // namespace vask
