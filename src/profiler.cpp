#include "profiler.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <utility>

#include "subtree_flush.hpp"
#include "utils/naming.hpp"
#include "utils/trace.hpp"

namespace vask {
namespace {

// The Python object that carries an engine. The engine is created before the
// object and owned by it; it is destroyed with the object, GIL held.
struct ProfilerObject {
  PyObject_HEAD VaskProfiler* engine;
};

PyTypeObject* g_profiler_type = nullptr;  // created on first use, kept for the process

constexpr const char* kLogMessage =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) noexcept {
  FrameEvent event;
  if (what == PyTrace_CALL) {
    event = FrameEvent::Call;
  } else if (what == PyTrace_RETURN) {
    event = FrameEvent::Return;
  } else {
    return 0;
  }
  if (obj == nullptr || Py_TYPE(obj) != g_profiler_type) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'VaskProfiler'",
                 obj == nullptr ? "NoneType" : Py_TYPE(obj)->tp_name);
    return -1;
  }
  return reinterpret_cast<ProfilerObject*>(obj)->engine->on_event(frame, event,
                                                                  arg == nullptr ? Py_None : arg);
}

VaskProfiler& engine_of(PyObject* self) { return *reinterpret_cast<ProfilerObject*>(self)->engine; }

PyObject* py_save(PyObject* self, PyObject*) noexcept {
  return boundary([&]() -> PyObject* {
    engine_of(self).save_in_db();
    Py_RETURN_NONE;
  });
}

PyObject* py_build_trace(PyObject* self, PyObject*) noexcept {
  return boundary([&]() -> PyObject* { return engine_of(self).build_trace_inner().release(); });
}

PyObject* py_register_threading_profiler(PyObject* self, PyObject* const*,
                                         Py_ssize_t nargs) noexcept {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError,
                 "register_threading_profiler() takes exactly 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyEval_SetProfile(profile_callback, self);
  Py_RETURN_NONE;
}

void profiler_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  {
    // Releasing the engine drops Python references (frames, threads,
    // callables), which may run arbitrary code; keep any error in flight.
    ErrorStash stash;
    delete reinterpret_cast<ProfilerObject*>(self)->engine;
    reinterpret_cast<ProfilerObject*>(self)->engine = nullptr;
  }
  type->tp_free(self);
  Py_DECREF(type);
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_profiler_methods[] = {
    {"save", as_cfunction(py_save), METH_NOARGS,
     "save($self)\n--\n\n"
     "This is called from Python code to trigger saving the trace. Used by\n"
     ":meth:`vask.profiler.Profiler.save`."},
    {"build_trace", as_cfunction(py_build_trace), METH_NOARGS,
     "build_trace($self)\n--\n\n"
     "This is called from Python code to build the trace. Used by\n"
     ":meth:`vask.profiler.Profiler.upload_trace_in_thread`."},
    {"register_threading_profiler", as_cfunction(py_register_threading_profiler), METH_FASTCALL,
     "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"
     "Register the profiler on the current thread. Called by `threading.setprofile`. See\n"
     ":func:`vask._vask.register_profiler`."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* profiler_type() {
  if (g_profiler_type != nullptr) return g_profiler_type;
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(profiler_dealloc)},
      {Py_tp_methods, g_profiler_methods},
      {Py_tp_doc, const_cast<char*>("The profile-hook tracing engine.")},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      "vask._vask.VaskProfiler",
      sizeof(ProfilerObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  g_profiler_type =
      reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&type_spec)).release());
  return g_profiler_type;
}

// The frame event of records [begin, end) of a batch: the event when the range
// holds the function's own "frame" record, otherwise none.
BatchFrameEvent frame_event_of(const RecordBatch& batch, size_t begin, size_t end,
                               FrameEvent event) {
  for (size_t i = begin; i < end; ++i) {
    if (batch.kinds[i] == "frame") {
      return event == FrameEvent::Call ? BatchFrameEvent::Call : BatchFrameEvent::Return;
    }
  }
  return BatchFrameEvent::None;
}

std::string required_str_attr(PyObject* obj, const char* name) {
  Ref value = getattr(obj, name);
  return std::string(str_view(value.get()));
}

}  // namespace

// ---- construction -----------------------------------------------------------

std::unique_ptr<VaskProfiler> VaskProfiler::new_from_python(PyObject* profiler) {
  std::unique_ptr<VaskProfiler> p(new VaskProfiler());

  Ref config = getattr(profiler, "config");
  if (!PyDict_Check(config.get())) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyDict'",
                 Py_TYPE(config.get())->tp_name);
    throw_py();
  }
  p->config_ = Config::from_dict(config.get());

  PyObject* filters = PyDict_GetItemWithError(config.get(), make_str("filters").get());
  if (filters == nullptr && PyErr_Occurred()) fault("config.get(\"filters\") should not raise.");
  Ref filters_ref = Ref::incref(filters);  // a dict's value may go away with the dict

  std::string trace_id = required_str_attr(profiler, "trace_id");

  Ref threading = import("threading");
  p->current_thread_ = getattr(threading.get(), "current_thread");
  Ref thread = call(p->current_thread_.get());

  p->flush_subtree_bytes_ = resolve_flush_subtree_bytes(config.get());

  Ref db_path = getattr(profiler, "db_path");
  p->db_path_ = to_str(db_path.get());

  Ref one_trace_per_test = getattr(profiler, "one_trace_per_test");
  if (!PyBool_Check(one_trace_per_test.get())) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyBool'",
                 Py_TYPE(one_trace_per_test.get())->tp_name);
    throw_py();
  }
  p->one_trace_per_test_ = one_trace_per_test.get() == Py_True;

  auto read_name = [&]() -> std::optional<std::string> {
    Ref name = getattr(profiler, "trace_name");
    if (name.get() == Py_None) return std::nullopt;
    return std::string(str_view(name.get()));
  };
  std::optional<std::string> trace_name = read_name();
  p->default_trace_name_ = read_name();

  p->source_ = required_str_attr(profiler, "source");

  p->include_frames_ = load_filters(filters_ref.get(), "include_frames");
  p->ignore_frames_ = load_filters(filters_ref.get(), "ignore_frames");

  p->default_include_frames_ = load_plugins(config.get());

  p->timestamp_ = timestamp();
  p->main_thread_id_ = get_thread_id(thread.get());

  p->sqlite_busy_timeout_ = p->config_.get_uint("sqlite_busy_timeout", 60);
  p->lightweight_repr_ = p->config_.get_bool("lightweight_repr", false);
  p->serializer_.emplace(Serializer::create());
  p->omit_return_locals_ = p->config_.get_bool("omit_return_locals", false);

  p->flush_trigger_bytes_ = vask::flush_trigger_bytes(p->flush_subtree_bytes_);
  *p->trace_id_.lock() = trace_id;
  *p->root_trace_id_.lock() = std::move(trace_id);
  *p->trace_name_.lock() = std::move(trace_name);
  return p;
}

// ---- the profile callback ------------------------------------------------------

int VaskProfiler::on_event(PyFrameObject* frame, FrameEvent event, PyObject* arg) noexcept {
  // Recording never disturbs an exception the traced program has in flight.
  ErrorStash stash;
  std::optional<PerThread<ProfilerThreadState>::Borrow> borrowed;
  try {
    borrowed.emplace(thread_state_.borrow());
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(nullptr);
    return 0;
  }
  ProfilerThreadState& ts = **borrowed;
  if (ts.suspended) return 0;

  // Invariant: a real frame always has a code object whose name and file name
  // are str; the strings stay alive with `code`.
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  auto* co = reinterpret_cast<PyCodeObject*>(code.get());
  std::optional<std::string_view> filename = try_str_view(co->co_filename);
  std::optional<std::string_view> co_name = try_str_view(co->co_name);
  if (!filename || !co_name) return 0;
  PyObject* frame_obj = reinterpret_cast<PyObject*>(frame);

  // Errors of recording are logged and dropped. A KeyboardInterrupt or
  // SystemExit met on the way (a signal handler runs inside a dumper as
  // anywhere else) is the program's own control flow: the event is finished,
  // then it is raised in the traced frame.
  Ref interrupt;
  auto report = [&]() noexcept {
    set_error_from_current_exception();
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
      log_error(frame, event, *filename, *co_name);
      return;
    }
    Ref exc = fetch_error();
    if (!interrupt) interrupt = std::move(exc);
  };

  RecordBatch& batch = ts.scratch;
  batch.clear();

  // Plugins watch functions by name; the registry never changes after
  // construction, so only functions with a watcher take the plugin lock.
  if (auto it = default_include_frames_.find(*co_name); it != default_include_frames_.end()) {
    std::lock_guard<GilMutex> plugins(plugin_lock_);
    for (const auto& processor : it->second) {
      try {
        if (!processor->matches_frame(frame_obj, event, arg, *filename)) continue;
        std::optional<PluginRecord> record = processor->process(
            frame_obj, event, arg, ts.call_frames.get_bound(), lightweight_repr_);
        if (record) {
          batch.kinds.push_back(std::move(record->type));
          batch.records.push_back(std::move(record->record));
        }
      } catch (...) {
        report();
      }
    }
  }

  bool recorded = false;
  try {
    recorded = profiler_should_record(frame_obj, *filename, include_frames_, ignore_frames_);
  } catch (...) {
    report();
  }

  if (recorded) {
    try {
      std::string frame_id = ts.frame_ids.get_or_set(event, reinterpret_cast<uintptr_t>(frame_obj));
      std::optional<CallSite> call_site =
          ts.call_frames.get_user_code_call_site(frame_obj, event, frame_id);
      // Written into a buffer that keeps its capacity across events, then
      // stored at its exact size: buffered records are what a long run's
      // memory is made of.
      Bytes& record = ts.record_scratch;
      record.clear();
      write_frame_with_serializer(record, frame_obj, *serializer_, call_site,
                                  event == FrameEvent::Return ? ArgKind::Argument : ArgKind::None,
                                  arg, event, *co_name, frame_id, lightweight_repr_,
                                  omit_return_locals_);
      batch.kinds.emplace_back("frame");
      batch.records.emplace_back(record);
    } catch (...) {
      // The function's own record is lost; records the plugins made for this
      // event (a test start, a request) are still stored below.
      report();
    }
  }

  if (!batch.empty()) {
    try {
      push_frames(ts, event, batch);
    } catch (...) {
      report();
    }
    if (ts.deferred_flush_error) {
      restore_error(std::move(ts.deferred_flush_error));
      try {
        throw_py();
      } catch (...) {
        report();
      }
    }
    batch.clear();
  }

  if (!interrupt) return 0;
  stash.discard();  // the interrupt replaces whatever was in flight
  restore_error(std::move(interrupt));
  return -1;
}

void VaskProfiler::log_error(PyFrameObject* frame, FrameEvent event, std::string_view co_filename,
                             std::string_view co_name) noexcept {
  Ref error = fetch_error();
  try {
    Ref logging = import("logging");
    Ref get_logger = getattr(logging.get(), "getLogger");
    Ref logger = call(get_logger.get(), make_str("vask").get());
    Ref warning = getattr(logger.get(), "warning");
    Ref locals = getattr(reinterpret_cast<PyObject*>(frame), interned().f_locals);
    Ref locals_copy = call(reinterpret_cast<PyObject*>(&PyDict_Type), locals.get());
    Ref args = Ref::check(PyTuple_New(5));
    PyTuple_SET_ITEM(args.get(), 0, make_str(kLogMessage).release());
    PyTuple_SET_ITEM(args.get(), 1, make_str(co_filename).release());
    PyTuple_SET_ITEM(args.get(), 2, make_str(co_name).release());
    PyTuple_SET_ITEM(args.get(), 3, make_str(event_name(event)).release());
    PyTuple_SET_ITEM(args.get(), 4, locals_copy.release());
    Ref kwargs = Ref::check(PyDict_New());
    if (PyDict_SetItemString(kwargs.get(), "exc_info", error ? error.get() : Py_True) < 0) {
      throw_py();
    }
    Ref::check(PyObject_Call(warning.get(), args.get(), kwargs.get()));
  } catch (...) {
    // Logging itself failed: report both on the unraisable hook rather than
    // let anything reach the traced program.
    set_error_from_current_exception();
    PyErr_WriteUnraisable(nullptr);
    if (error) {
      restore_error(std::move(error));
      PyErr_WriteUnraisable(nullptr);
    }
  }
}

// ---- buffering --------------------------------------------------------------

void VaskProfiler::enter_thread(const std::string& thread_id, PyObject* thread) {
  Ref replaced;
  {
    auto threads = threads_.lock();
    auto [it, inserted] = threads->try_emplace(thread_id);
    if (it->second.get() != thread) replaced = std::exchange(it->second, Ref::incref(thread));
  }
  // `replaced` is released here, outside the mutex: dropping it may run code.
}

void VaskProfiler::push_frames(ProfilerThreadState& ts, FrameEvent event, RecordBatch& batch) {
  if (batch.empty()) return;
  if (event == FrameEvent::Return) {
    // The function's own record comes first on a return, then the plugins'.
    std::reverse(batch.kinds.begin(), batch.kinds.end());
    std::reverse(batch.records.begin(), batch.records.end());
  }

  Ref thread = call(current_thread_.get());
  if (thread.get() != ts.cached_thread.get()) {
    ts.cached_thread_id = get_thread_id(thread.get());
    ts.cached_thread = thread.copy();
  }
  const std::string thread_id = ts.cached_thread_id;
  enter_thread(thread_id, thread.get());

  const size_t n = batch.records.size();
  if (!one_trace_per_test_) {
    push_frame_data(ts, thread_id, batch.records, 0, n, frame_event_of(batch, 0, n, event));
    return;
  }

  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    if (batch.kinds[i] == "end_test") {
      push_frame_data(ts, thread_id, batch.records, start, i + 1,
                      frame_event_of(batch, start, i + 1, event));
      start = i + 1;
      try {
        save_in_db();
      } catch (...) {
        // The test's records are back in the buffers. What follows the end
        // of the test in this batch is still stored before the error is
        // reported, and this thread is entered again so that a later
        // document carries it.
        {
          ErrorStash keep;
          reset_subtree_tracking();
          enter_thread(thread_id, thread.get());
          restored_test_records_.store(true);
          push_frame_data(ts, thread_id, batch.records, start, n,
                          frame_event_of(batch, start, n, event));
        }
        throw;
      }
      reset_subtree_tracking();
      // The save took the thread map out; the rest of this batch belongs to
      // this thread too.
      enter_thread(thread_id, thread.get());
    } else if (batch.kinds[i] == "start_test") {
      // Records before the start belong to no test.
      start = i;
      try {
        start_new_test_trace();
      } catch (...) {
        {
          ErrorStash keep;
          push_frame_data(ts, thread_id, batch.records, start, n,
                          frame_event_of(batch, start, n, event));
        }
        throw;
      }
    }
  }
  push_frame_data(ts, thread_id, batch.records, start, n, frame_event_of(batch, start, n, event));
}

void VaskProfiler::push_frame_data(ProfilerThreadState& ts, const std::string& thread_id,
                                   RecordList& records, size_t begin, size_t end,
                                   BatchFrameEvent frame_event) {
  if (begin >= end) return;
  uint64_t thread_bytes = 0;
  {
    // The append and its accounting happen under one hold of the buffers'
    // mutex, so that a build taking the buffers out (and resetting the
    // accounting with them) never sees one without the other.
    auto frames = frames_by_thread_.lock();
    RecordList& list = (*frames)[thread_id];
    const uint64_t old_length = list.size();
    list.insert(list.end(), std::make_move_iterator(records.begin() + begin),
                std::make_move_iterator(records.begin() + end));
    if (!flush_subtree_bytes_) return;
    if (!account_batch(ts.flush_state, thread_id, list, old_length, frame_event)) return;
    thread_bytes = ts.flush_state.bytes;
  }
  if (thread_bytes < *flush_subtree_bytes_) return;
  try {
    maybe_flush(ts, thread_id);
  } catch (...) {
    // The batch is stored; a flush that failed must not stop the rest of the
    // event (a test's end and its save may follow in the same batch). The
    // error is reported when the event is done.
    set_error_from_current_exception();
    Ref error = fetch_error();
    if (!ts.deferred_flush_error) ts.deferred_flush_error = std::move(error);
  }
}

void VaskProfiler::start_new_test_trace() {
  std::lock_guard<GilMutex> trace(trace_lock_);
  Taken unsaved_test;
  const bool keep_unsaved = restored_test_records_.exchange(false);
  if (keep_unsaved) {
    // The buffers still hold a test whose save failed: its records are kept
    // to be stored again instead of being discarded with the buffers.
    auto threads = threads_.lock();
    for (auto& [key, thread] : *threads) unsaved_test.threads.try_emplace(key, thread.copy());
  }
  {
    auto frames = frames_by_thread_.lock();
    unsaved_test.frames = std::exchange(*frames, {});
    reset_subtree_tracking();
  }
  const std::string new_id = new_trace_id();
  unsaved_test.trace_id = std::exchange(*trace_id_.lock(), new_id);
  unsaved_test.root_trace_id = std::exchange(*root_trace_id_.lock(), new_id);
  *trace_name_.lock() = default_trace_name_;
  if (keep_unsaved) unsaved_.lock()->push_back(std::move(unsaved_test));
}

void VaskProfiler::reset_subtree_tracking() {
  flush_epoch_.fetch_add(1, std::memory_order_relaxed);
  OpenSubtrees dropped = std::exchange(*open_subtrees_.lock(), {});
  flushing_threads_.lock()->clear();
}

// ---- building and saving ------------------------------------------------------

std::optional<std::string> VaskProfiler::trace_name_for_thread(const FramesByThread& records,
                                                               std::string_view thread_id) {
  auto name = trace_name_.lock();
  return resolve_trace_name(*name, records, thread_id);
}

VaskProfiler::Taken VaskProfiler::take_buffers() {
  Taken taken;
  {
    auto frames = frames_by_thread_.lock();
    taken.frames = std::exchange(*frames, {});
    reset_subtree_tracking();
  }
  taken.threads = std::exchange(*threads_.lock(), {});
  return taken;
}

VaskProfiler::Taken VaskProfiler::take_trace() {
  std::lock_guard<GilMutex> trace(trace_lock_);
  Taken taken = take_buffers();
  taken.trace_id = *trace_id_.lock();
  taken.root_trace_id = *root_trace_id_.lock();
  return taken;
}

template <class F>
auto VaskProfiler::restoring_on_failure(Taken& taken, F&& work) {
  try {
    return work();
  } catch (...) {
    // A build or store that fails (a locked or unwritable database) must not
    // lose the trace: the records go back in front of anything recorded
    // meanwhile, so that a later save stores them.
    {
      ErrorStash keep;
      restore(std::move(taken));
    }
    throw;
  }
}

void VaskProfiler::restore(Taken taken) {
  std::lock_guard<GilMutex> trace(trace_lock_);
  if (*trace_id_.lock() != taken.trace_id) {
    // A test started meanwhile: these records belong to the trace before it
    // and are kept to be stored on their own.
    unsaved_.lock()->push_back(std::move(taken));
    return;
  }
  {
    auto frames = frames_by_thread_.lock();
    // Positions noted since the take count from the start of the fresh
    // buffers; once the old records are in front they would point at the
    // wrong records, so the accounting starts over.
    reset_subtree_tracking();
    for (auto& [key, old_records] : taken.frames) {
      RecordList& current = (*frames)[key];
      old_records.insert(old_records.end(), std::make_move_iterator(current.begin()),
                         std::make_move_iterator(current.end()));
      current = std::move(old_records);
    }
  }
  {
    auto threads = threads_.lock();
    for (auto& [key, thread] : taken.threads) threads->try_emplace(key, std::move(thread));
  }
  // Thread objects not moved back are released when `taken` goes, outside the
  // data mutexes.
}

Ref VaskProfiler::build_document(const Taken& taken) {
  std::optional<std::string> name = trace_name_for_thread(taken.frames, main_thread_id_);
  TraceParts parts{taken.frames,
                   taken.threads,
                   taken.trace_id,
                   name,
                   source_,
                   main_thread_id_,
                   config_,
                   /*use_monitoring=*/false,
                   taken.root_trace_id,
                   timestamp_};
  return build_trace_from_parts(parts);
}

Ref VaskProfiler::build_trace_inner() {
  Taken taken = take_trace();
  return restoring_on_failure(taken, [&] { return build_document(taken); });
}

void VaskProfiler::store_document(const std::string& trace_id, PyObject* document) {
  Ref kwargs = Ref::check(PyDict_New());
  Ref timeout = Ref::check(PyLong_FromUnsignedLongLong(sqlite_busy_timeout_));
  if (PyDict_SetItemString(kwargs.get(), "timeout", timeout.get()) < 0) throw_py();
  if (PyDict_SetItemString(kwargs.get(), "msgpack_data", document) < 0) throw_py();
  Ref pathlib = import("pathlib");
  Ref path_type = getattr(pathlib.get(), "Path");
  Ref path = call(path_type.get(), make_str(db_path_).get());
  if (PyDict_SetItemString(kwargs.get(), "db_path", path.get()) < 0) throw_py();
  Ref db = import("vask.db");
  Ref save_trace = getattr(db.get(), "save_trace");
  Ref args = Ref::check(PyTuple_Pack(1, make_str(trace_id).get()));
  Ref::check(PyObject_Call(save_trace.get(), args.get(), kwargs.get()));
}

void VaskProfiler::save_in_db() {
  // Tests whose traces could not be stored earlier go first, in order.
  for (;;) {
    Taken next;
    {
      auto unsaved = unsaved_.lock();
      if (unsaved->empty()) break;
      next = std::move(unsaved->front());
      unsaved->erase(unsaved->begin());
    }
    try {
      Ref document = build_document(next);
      store_document(next.trace_id, document.get());
    } catch (...) {
      {
        ErrorStash keep;
        auto unsaved = unsaved_.lock();
        unsaved->insert(unsaved->begin(), std::move(next));
      }
      throw;
    }
  }

  Taken taken = take_trace();
  restoring_on_failure(taken, [&] {
    Ref document = build_document(taken);
    store_document(taken.trace_id, document.get());
  });
}

// ---- module functions -----------------------------------------------------------

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }

PyObject* register_profiler(PyObject* profiler) {
  if (!PyCallable_Check(profiler)) {
    PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
    throw_py();
  }
  std::unique_ptr<VaskProfiler> engine = VaskProfiler::new_from_python(profiler);
  PyTypeObject* type = profiler_type();
  Ref instance = Ref::check(type->tp_alloc(type, 0));
  reinterpret_cast<ProfilerObject*>(instance.get())->engine = engine.release();

  if (PyObject_SetAttrString(profiler, "rust_profiler", instance.get()) < 0) throw_py();
  PyEval_SetProfile(profile_callback, instance.get());

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
