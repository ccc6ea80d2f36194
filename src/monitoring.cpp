#include "monitoring.hpp"

#include <utility>

#include "code_facts.hpp"
#include "support/log.hpp"
#include "utils/names.hpp"

namespace vask {
namespace {

// ---- facts kept in code objects ------------------------------------------------
//
// One word in the code object's shared facts (code_facts.hpp): the serial of
// the monitor that wrote it and four flags.

constexpr uintptr_t kFactsSet = 1;
constexpr uintptr_t kVerdictKnown = 2;
constexpr uintptr_t kRecorded = 4;
constexpr uintptr_t kWatched = 8;
constexpr uintptr_t kTarget = 16;
constexpr int kSerialShift = 5;

// Whether sys.monitoring lets this event be switched off at its location:
// PY_UNWIND and PY_THROW are not local events, and answering them with
// DISABLE would make the interpreter drop the callback altogether.
constexpr bool can_disable(FrameEvent event) noexcept {
  return event == FrameEvent::Call || event == FrameEvent::Return || event == FrameEvent::Resume ||
         event == FrameEvent::Yield;
}

ArgKind arg_kind_of(FrameEvent event) noexcept {
  switch (event) {
    case FrameEvent::Return:
    case FrameEvent::Yield:
      return ArgKind::Argument;
    case FrameEvent::Unwind:
    case FrameEvent::Throw:
      return ArgKind::Exception;
    case FrameEvent::Call:
    case FrameEvent::Resume:
      break;
  }
  return ArgKind::None;
}

// The interpreter's current frame (what sys._getframe(0) returns), whatever
// code object it runs. The package registers the native methods themselves
// as the callbacks, which have no frame of their own, so in real use it is
// the frame of the event; a callback called from Python takes its caller's.
// The code object of the event gives the record's name and filter verdict;
// whatever reads the frame's slots reads them with the frame's own code
// object. Throws PyErrSet (RuntimeError) when no Python frame runs at all.
Ref current_frame() {
  Ref frame = Ref::incref(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
  if (!frame) {
    PyErr_SetString(PyExc_RuntimeError, "a monitoring callback ran with no Python frame");
    throw_py();
  }
  return frame;
}

}  // namespace

// ---- construction ---------------------------------------------------------------

std::unique_ptr<VaskMonitor> VaskMonitor::create(const Arguments& args) {
  std::unique_ptr<VaskMonitor> m(new VaskMonitor());
  PyObject* config = args.config;
  if (!PyDict_Check(config)) conversion_error(config, "PyDict");
  Config config_record = Config::from_dict(config);

  Ref sys = import("sys");
  Ref threading = import("threading");
  {
    Ref monitoring = Ref::steal(PyObject_GetAttrString(sys.get(), "monitoring"));
    if (!monitoring) {
      PyErr_Clear();
      PyErr_SetString(PyExc_RuntimeError,
                      "vask's monitoring engine needs sys.monitoring, which Python 3.12 and later "
                      "have; use the profile engine on this Python");
      throw_py();
    }
    m->disable_ = getattr(monitoring.get(), "DISABLE");
  }

  m->current_thread_ = getattr(threading.get(), "current_thread");
  Ref thread = call(m->current_thread_.get());

  const bool omit_return_locals = config_record.get_bool("omit_return_locals", false);
  m->line_events_ = config_record.get_bool("line_events", false);
  const bool lightweight_repr = config_record.get_bool("lightweight_repr", false);
  TraceSettings settings;
  settings.sqlite_busy_timeout = config_record.get_uint("sqlite_busy_timeout", 60);

  PyObject* filters = PyDict_GetItemWithError(config, make_str("filters").get());
  if (filters == nullptr && PyErr_Occurred()) fault("config.get(\"filters\") should not raise.");
  Ref filters_ref = Ref::incref(filters);  // a dict's value may go away with the dict
  // The host's own files are internal wherever the package lives.
  note_package_dir(config_record.find("package_dir"));

  PluginRegistry plugins = load_plugins(config);

  {
    PyObject* trace_points = PyDict_GetItemWithError(config, make_str("trace_points").get());
    if (trace_points == nullptr && PyErr_Occurred()) throw_py();
    if (trace_points != nullptr && PyDict_Check(trace_points)) {
      Ref hold = Ref::incref(trace_points);
      PyObject* on_return = PyDict_GetItemWithError(hold.get(), make_str("on_return").get());
      if (on_return == nullptr && PyErr_Occurred()) throw_py();
      if (on_return != nullptr && PyList_Check(on_return)) {
        Ref targets = Ref::incref(on_return);
        // try_utf8_text runs no Python code, so the list cannot change under
        // the loop. Items that are not str are skipped.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(targets.get()); ++i) {
          if (auto text = try_utf8_text(PyList_GET_ITEM(targets.get(), i))) {
            m->on_return_targets_.emplace(text->text());
          }
        }
      }
    }
  }

  EngineCore::Options options;
  EngineCore::read_limits(config, options, settings);

  if (!m->on_return_targets_.empty()) {
    // What a trace point stores of the configuration: what the trace stores,
    // as made by this engine.
    m->trace_point_config_ = config_record.stored_entries();
    for (const char* key : {"use_monitoring", "use_rust"}) {
      if (PyDict_SetItemString(m->trace_point_config_.get(), key, Py_True) < 0) throw_py();
    }
  }

  std::string trace_id = new_trace_id();
  const double started = timestamp();

  settings.db_path = args.db_path;
  settings.source = args.source;
  settings.default_trace_name = args.name;

  m->include_frames_ = load_filters(filters_ref.get(), "include_frames");
  m->ignore_frames_ = load_filters(filters_ref.get(), "ignore_frames");

  settings.main_thread_id = get_thread_id(thread.get());
  m->records_.emplace(Serializer::create(), std::move(plugins), lightweight_repr,
                      omit_return_locals);

  settings.use_monitoring = true;
  m->serial_ = detail::next_owner_id();
  options.one_trace_per_test = args.one_trace_per_test;
  options.flush_policy = FlushPolicy::DownToHalfThreshold;
  options.test_hooks = m.get();
  options.cut_hook = m.get();
  m->core_.emplace(std::move(settings), std::move(config_record), std::move(trace_id), started,
                   options);
  return m;
}

// The core goes first: it holds pointers to this monitor's hooks.
VaskMonitor::~VaskMonitor() { core_.reset(); }

void VaskMonitor::set_suspend_hooks(bool value) { thread_state_.borrow()->suspended = value; }

// ---- the event handler ------------------------------------------------------------

bool VaskMonitor::watched(std::string_view filename, std::string_view co_name) const {
  const RecordMaker::Watchers* watchers = records_->watchers(co_name);
  if (watchers == nullptr) return false;
  for (const auto& processor : *watchers) {
    if (processor->path_matches(filename)) return true;
  }
  return false;
}

VaskMonitor::CodeFacts VaskMonitor::facts_of(PyCodeObject* code, std::string_view filename,
                                             std::string_view co_name) {
  CodeFacts facts;
  facts.watched = watched(filename, co_name);
  facts.target = on_return_targets_.find(std::string(co_name)) != on_return_targets_.end();
  // An unnamed file is judged by its callers (attrs' generated code): no
  // verdict of the code object alone.
  if (!filename.empty()) {
    facts.recorded = monitor_should_record(nullptr, filename, include_frames_, ignore_frames_);
  }
  // When they cannot be kept, the next event decides again.
  if (vask::CodeFacts* kept = code_facts(code)) {
    uintptr_t word = (static_cast<uintptr_t>(serial_) << kSerialShift) | kFactsSet;
    if (facts.recorded) word |= kVerdictKnown | (*facts.recorded ? kRecorded : 0);
    if (facts.watched) word |= kWatched;
    if (facts.target) word |= kTarget;
    kept->engine_word = word;
  }
  return facts;
}

VaskMonitor::CodeFacts VaskMonitor::cached_facts(PyCodeObject* code, std::string_view filename,
                                                 std::string_view co_name) {
  if (const vask::CodeFacts* kept = code_facts(code)) {
    const uintptr_t word = kept->engine_word;
    if ((word & kFactsSet) != 0 && (word >> kSerialShift) == serial_) {
      CodeFacts facts;
      if ((word & kVerdictKnown) != 0) facts.recorded = (word & kRecorded) != 0;
      facts.watched = (word & kWatched) != 0;
      facts.target = (word & kTarget) != 0;
      return facts;
    }
  }
  return facts_of(code, filename, co_name);
}

void VaskMonitor::identify_thread(EngineThreadState& ts) {
  if (ts.cached_thread) return;
  // Python code runs here (threading.current_thread, the thread's
  // properties); none of it is recorded on this thread.
  ts.suspended = true;
  struct Resume {
    bool& flag;
    ~Resume() { flag = false; }
  } resume{ts.suspended};
  Ref thread = call(current_thread_.get());
  core_->set_thread(ts, thread.get());
}

Ref VaskMonitor::log_error(Ref error) {
  return vask::log_error(std::move(error), [] {
    return Ref::check(Py_BuildValue("(s)", "Unexpected exception in Rust."));
  });
}

// What every callback does around its own part: the thread's state, its
// pending assignment recorded first, a suspended thread answered with None
// (DISABLE would switch the location off for every thread, for good), the
// code object's names and facts, and the program's own exception raised when
// one surfaced while recording. `handle(ts, code, filename, co_name, facts,
// errors)` returns the answer (borrowed: None or DISABLE). Not noexcept: a
// forced unwind (a thread the interpreter ends at exit) goes through.
template <class Handle>
PyObject* VaskMonitor::callback(PyObject* code, Handle&& handle) {
  // The child of a fork() runs the parent's callbacks until the host
  // replaces them; DISABLE would switch locations off for the next monitor.
  if (core_->in_forked_child()) return Py_NewRef(Py_None);
  // Recording never disturbs the interpreter's error state.
  ErrorStash stash;
  std::optional<PerThread<MonitorThreadState>::Borrow> borrowed;
  try {
    borrowed.emplace(thread_state_.borrow());
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(nullptr);
    return Py_NewRef(Py_None);
  }
  MonitorThreadState& ts = **borrowed;
  EventErrors errors;
  auto log = [this](Ref error) { return log_error(std::move(error)); };
  // The store seen last has run by now: its record comes before this
  // event's.
  record_pending(ts, errors);
  PyObject* answer = Py_None;
  if (!ts.suspended) {
    if (!PyCode_Check(code)) {
      try {
        conversion_error(code, "PyCode");
      } catch (...) {
        errors.report(log);
      }
    } else {
      auto* co = reinterpret_cast<PyCodeObject*>(code);
      // Invariant: a code object's name and file name are str; the texts
      // stay valid with `code`, which the interpreter holds for the event
      // (and their escaped copies, for a file name with lone surrogates, with
      // themselves).
      const std::optional<Utf8Text> filename = try_utf8_text(co->co_filename);
      const std::optional<Utf8Text> co_name = try_utf8_text(co->co_name);
      if (filename && co_name) {
        const CodeFacts facts = cached_facts(co, filename->text(), co_name->text());
        answer = handle(ts, co, filename->text(), co_name->text(), facts, errors);
      }
    }
  }
  Ref program_error = core_->finish_event(errors);
  if (!program_error) return Py_NewRef(answer);
  stash.discard();  // the program's exception replaces whatever was in flight
  restore_error(std::move(program_error));
  return nullptr;
}

PyObject* VaskMonitor::on_event(PyObject* code, FrameEvent event, PyObject* arg) {
  return callback(
      code,
      [&](MonitorThreadState& ts, PyCodeObject*, std::string_view filename,
          std::string_view co_name, const CodeFacts& facts, EventErrors& errors) -> PyObject* {
        auto log = [this](Ref error) { return log_error(std::move(error)); };
        if (!facts.watched && facts.recorded == false) {
          return can_disable(event) ? disable_.get() : Py_None;
        }
        Ref frame_ref;
        try {
          frame_ref = current_frame();
        } catch (...) {
          errors.report(log);
          return Py_None;
        }
        PyObject* frame = frame_ref.get();

        RecordBatch& batch = ts.scratch;
        batch.clear();

        if (facts.watched) {
          records_->add_plugin_records(*records_->watchers(co_name), frame, event, arg, filename,
                                       ts, batch, errors, log);
        }

        bool recorded = facts.recorded.value_or(false);
        if (!facts.recorded) {
          try {
            recorded = monitor_should_record(frame, filename, include_frames_, ignore_frames_);
          } catch (...) {
            errors.report(log);
          }
        }

        bool own_record = false;
        if (recorded) {
          try {
            if (core_->admits(ts, frame, event, [&] { identify_thread(ts); })) {
              records_->add_frame_record(ts, frame, event, arg_kind_of(event), arg, co_name, batch);
              own_record = true;
            }
          } catch (...) {
            errors.report(log);
          }
        }

        // Nothing recorded here is not switched off: a plugin may match the next
        // event, and an unnamed file's verdict depends on its callers.
        const bool stored =
            core_->store_event(ts, event, batch, errors, log, [&] { identify_thread(ts); });
        if (stored && own_record && facts.target) {
          trace_point_event(ts, event, frame, co_name, errors);
        }
        return Py_None;
      });
}

// ---- assignments --------------------------------------------------------------------

PyObject* VaskMonitor::on_instruction(PyObject* code, int64_t offset) {
  return callback(
      code,
      [&](MonitorThreadState& ts, PyCodeObject*, std::string_view filename,
          std::string_view co_name, const CodeFacts& facts, EventErrors& errors) -> PyObject* {
        if (facts.recorded == false) return disable_.get();
        try {
          CodeInstructions* table = CodeInstructions::of(code);
          const InstructionFacts* known = table != nullptr ? table->find(offset) : nullptr;
          InstructionFacts classified;
          if (known == nullptr) {
            classified = classify_instruction(code, offset, table);
            known = &classified;
            // Switched-off instructions come back only after a restart of the
            // events; they are not kept.
            if (table != nullptr && classified.kind != InstructionFacts::Kind::Ignored) {
              known = &table->add(offset, std::move(classified));
            }
          }
          switch (known->kind) {
            case InstructionFacts::Kind::Ignored:
              return disable_.get();
            case InstructionFacts::Kind::AfterStore:
              break;  // its store is recorded above
            case InstructionFacts::Kind::Store: {
              // An unnamed file is judged by the callers of the running frame; a
              // store there that is not recorded stays on, as its calls do.
              bool recorded = facts.recorded.value_or(false);
              if (!facts.recorded) {
                Ref frame = current_frame();
                recorded =
                    monitor_should_record(frame.get(), filename, include_frames_, ignore_frames_);
              }
              if (recorded) note_store(ts, filename, co_name, known->store);
              break;
            }
          }
        } catch (...) {
          errors.report([this](Ref error) { return log_error(std::move(error)); });
        }
        return Py_None;
      });
}

void VaskMonitor::note_store(MonitorThreadState& ts, std::string_view filename,
                             std::string_view co_name, const StoreSite& site) {
  Ref frame = current_frame();
  PendingAssignment pending;
  const auto address = reinterpret_cast<uintptr_t>(frame.get());
  if (const FrameId* id = ts.frame_ids.find(address)) pending.frame_id = std::string(id->view());
  const int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame.get()));
  pending.path = format_frame_path(filename, line < 0 ? 0 : static_cast<uint64_t>(line));
  pending.co_name = std::string(co_name);
  pending.qualname = get_qualname(frame.get());
  if (!pending.qualname) fault("qualname always exists on Python 3.12+");
  pending.timestamp = timestamp();
  pending.site.kind = site.kind;
  pending.site.first = site.first.copy();
  pending.site.second = site.second.copy();
  pending.frame = std::move(frame);
  ts.pending = std::move(pending);
}

const std::optional<std::string>& VaskMonitor::redaction_of(MonitorThreadState& ts,
                                                            PyObject* name) {
  std::string key(str_view(name));
  if (auto it = ts.redacted_names.find(key); it != ts.redacted_names.end()) return it->second;
  // A one-entry map of the name and a short text (a value that runs no code
  // and may hold a secret): its entry is written as the text alone is,
  // unless the name is a secret.
  auto view = [](const Ref& bytes) {
    return std::string_view(PyBytes_AS_STRING(bytes.get()),
                            static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  };
  const bool lightweight = records_->lightweight_repr();
  Ref entry = Ref::check(PyDict_New());
  Ref probe = make_str("probe");
  if (PyDict_SetItem(entry.get(), name, probe.get()) < 0) throw_py();
  Ref as_entry = records_->serializer().dump(entry.get(), lightweight);
  Ref alone = records_->serializer().dump(probe.get(), lightweight);
  const std::string_view value = dumped_entry_value(view(as_entry));
  std::optional<std::string> marker;
  if (value.size() < view(as_entry).size() && value != view(alone)) marker = std::string(value);
  return ts.redacted_names.emplace(std::move(key), std::move(marker)).first->second;
}

void VaskMonitor::record_pending(MonitorThreadState& ts, EventErrors& errors) {
  if (!ts.pending) return;
  // Consumed whatever happens: a failure loses this one assignment only.
  PendingAssignment pending = std::move(*ts.pending);
  ts.pending.reset();
  auto log = [this](Ref error) { return log_error(std::move(error)); };
  RecordBatch& batch = ts.scratch;
  batch.clear();
  try {
    for (PyObject* name : {pending.site.first.get(), pending.site.second.get()}) {
      if (name == nullptr) continue;
      Ref value = assigned_value(pending, name);
      if (!value) continue;  // not assigned after all: the store raised
      // The dumper is handed the value itself. A name the locals would
      // redact gets the marker they would show instead: the value is never
      // dumped, so a secret is never written.
      const std::optional<std::string>& marker = redaction_of(ts, name);
      Ref dumped;
      std::string_view bytes;
      if (marker) {
        bytes = *marker;
      } else {
        dumped = records_->serializer().dump(value.get(), records_->lightweight_repr());
        bytes = std::string_view(PyBytes_AS_STRING(dumped.get()),
                                 static_cast<size_t>(PyBytes_GET_SIZE(dumped.get())));
      }
      Bytes& record = ts.record_scratch;
      record.clear();
      write_assignment_record(record, pending, str_view(name), bytes);
      batch.kinds.emplace_back("line");
      batch.records.emplace_back(record);
    }
  } catch (...) {
    errors.report(log);
  }
  // Stored as an opening event stores its batch: in order, as a closed run
  // of its own for the subtree accounting (no "frame" kind in it).
  core_->store_event(ts, FrameEvent::Call, batch, errors, log, [&] { identify_thread(ts); });
}

// ---- markers ------------------------------------------------------------------------

void VaskMonitor::test_started(const TraceLock&) {
  std::vector<std::string> known;
  {
    auto buffers = core_->buffer().lock_buffers();
    for (const auto& [thread_id, thread] : buffers->threads) known.push_back(thread_id);
  }
  auto markers = markers_.lock();
  for (const auto& [thread_id, list] : *markers) known.push_back(thread_id);
  markers_at_test_start(*markers, known);
}

void VaskMonitor::test_ended() { markers_at_test_end(*markers_.lock()); }

void VaskMonitor::after_cut(const TraceLock&, const std::string& thread_id, uint64_t start,
                            uint64_t end) {
  markers_after_cut(*markers_.lock(), thread_id, start, end);
}

void VaskMonitor::after_put_back(const TraceLock&, const std::string& thread_id, uint64_t start,
                                 uint64_t end) {
  markers_after_put_back(*markers_.lock(), thread_id, start, end);
}

}  // namespace vask
