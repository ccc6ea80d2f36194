#include "monitoring.hpp"

#include <utility>

#include "support/log.hpp"
#include "utils/names.hpp"

namespace vask {
namespace {

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

// The line the event at `offset` of `code` names, where the current frame
// `frame` does not run `code` (-1 there, and where the offset names no
// instruction of it): the record then says where in `code` the event is.
int event_line(PyObject* frame, PyObject* code, int64_t offset) {
  auto* f = reinterpret_cast<PyFrameObject*>(frame);
  Ref own = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
  if (own.get() == code || !PyCode_Check(code) || offset < 0) return -1;
  auto* co = reinterpret_cast<PyCodeObject*>(code);
  // Py_SIZE of a code object counts its 2-byte code units.
  if (offset >= static_cast<int64_t>(Py_SIZE(co)) * 2) return -1;
  return PyCode_Addr2Line(co, static_cast<int>(offset));
}

}  // namespace

// ---- construction ---------------------------------------------------------------

std::unique_ptr<VaskMonitor> VaskMonitor::create(const Arguments& args) {
  std::unique_ptr<VaskMonitor> m(new VaskMonitor());
  PyObject* config = args.config;
  if (!PyDict_Check(config)) conversion_error(config, "PyDict");
  {
    Ref sys = import("sys");
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

  EngineIdentity identity;
  identity.db_path = args.db_path;
  identity.source = args.source;
  identity.name = args.name;
  identity.one_trace_per_test = args.one_trace_per_test;
  identity.use_monitoring = true;
  EngineParts parts = EngineParts::from_config(config, std::move(identity));
  m->line_events_ = parts.config.get_bool("line_events", false);

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
            parts.trace_point_targets.emplace(text->text());
          }
        }
      }
    }
  }
  m->has_trace_points_ = !parts.trace_point_targets.empty();
  if (m->has_trace_points_) {
    // What a trace point stores of the configuration: what the trace stores,
    // as made by this engine.
    m->trace_point_config_ = parts.config.stored_entries();
    for (const char* key : {"use_monitoring", "use_rust"}) {
      if (PyDict_SetItemString(m->trace_point_config_.get(), key, Py_True) < 0) throw_py();
    }
  }

  parts.options.flush_policy = FlushPolicy::DownToHalfThreshold;
  parts.options.test_hooks = m.get();
  parts.options.cut_hook = m.get();
  m->core_.emplace(std::move(parts));
  return m;
}

// The core goes first: it holds pointers to this monitor's hooks.
VaskMonitor::~VaskMonitor() { core_.reset(); }

void VaskMonitor::set_suspend_hooks(bool value) { thread_state_.borrow()->suspended = value; }

// ---- the event handler ------------------------------------------------------------

void VaskMonitor::identify_thread(EngineThreadState& ts) {
  // The object is held weakly: once it is gone while the OS thread runs on
  // (C code entering Python again gets a new thread object), the thread is
  // asked afresh.
  if (ts.cached_thread.alive()) return;
  // Python code runs here (threading.current_thread, the thread's
  // properties); none of it is recorded on this thread.
  ts.suspended = true;
  struct Resume {
    bool& flag;
    ~Resume() { flag = false; }
  } resume{ts.suspended};
  Ref thread = call(core_->current_thread());
  core_->set_thread(ts, thread.get());
}

Ref VaskMonitor::log_error(Ref error) {
  return vask::log_error(std::move(error), [] {
    return Ref::check(Py_BuildValue("(s)", "Unexpected exception in Rust."));
  });
}

// What every callback does around its own part (EngineCore::event): the
// thread's pending assignment recorded first (the store seen last has run by
// now: its record comes before this event's), a suspended thread answered
// with None (DISABLE would switch the location off for every thread, for
// good), and the program's own exception raised when one surfaced while
// recording. `handle(ts, code, filename, co_name, verdict, errors)` returns
// the answer (borrowed: None or DISABLE).
template <class Handle>
PyObject* VaskMonitor::callback(PyObject* code, Handle&& handle) {
  const EventEnd end = core_->event(
      thread_state_, code, Py_None,
      [this](MonitorThreadState& ts, EventErrors& errors) { record_pending(ts, errors); },
      std::forward<Handle>(handle), [this](Ref error) { return log_error(std::move(error)); });
  return end.raised ? nullptr : Py_NewRef(end.answer);
}

PyObject* VaskMonitor::on_event(PyObject* code, int64_t offset, FrameEvent event, PyObject* arg) {
  return callback(
      code,
      [&](MonitorThreadState& ts, PyCodeObject*, std::string_view filename,
          std::string_view co_name, const CodeVerdict& verdict, EventErrors& errors) -> PyObject* {
        auto log = [this](Ref error) { return log_error(std::move(error)); };
        if (!verdict.watched && verdict.recorded == NameVerdict::Left) {
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
        // Nothing recorded here is not switched off: a plugin may match the next
        // event, and an unnamed file's verdict depends on its callers.
        const bool own_record = core_->record_event(
            ts, frame, event, arg_kind_of(event), arg, event == FrameEvent::Unwind, filename,
            co_name, verdict.watched, verdict.target,
            [&] {
              return verdict.recorded == NameVerdict::Recorded ||
                     (verdict.recorded == NameVerdict::ByCallers &&
                      core_->should_record(frame, filename));
            },
            [&] { identify_thread(ts); }, errors, log, code, event_line(frame, code, offset));
        if (own_record && verdict.target) trace_point_event(ts, event, frame, co_name, errors);
        return Py_None;
      });
}

// ---- assignments --------------------------------------------------------------------

PyObject* VaskMonitor::on_instruction(PyObject* code, int64_t offset) {
  return callback(
      code,
      [&](MonitorThreadState& ts, PyCodeObject*, std::string_view filename,
          std::string_view co_name, const CodeVerdict& verdict, EventErrors& errors) -> PyObject* {
        if (verdict.recorded == NameVerdict::Left) return disable_.get();
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
              bool recorded = verdict.recorded == NameVerdict::Recorded;
              if (verdict.recorded == NameVerdict::ByCallers) {
                Ref frame = current_frame();
                recorded = core_->should_record(frame.get(), filename);
              }
              if (recorded) note_store(ts, code, offset, filename, co_name, known->store);
              break;
            }
          }
        } catch (...) {
          errors.report([this](Ref error) { return log_error(std::move(error)); });
        }
        return Py_None;
      });
}

void VaskMonitor::note_store(MonitorThreadState& ts, PyObject* code, int64_t offset,
                             std::string_view filename, std::string_view co_name,
                             const StoreSite& site) {
  Ref frame = current_frame();
  PendingAssignment pending;
  const auto address = reinterpret_cast<uintptr_t>(frame.get());
  if (const FrameId* id = ts.frame_ids.find(address)) pending.frame_id = std::string(id->view());
  int line = event_line(frame.get(), code, offset);
  if (line < 0) line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame.get()));
  pending.path = format_frame_path(filename, line < 0 ? 0 : static_cast<uint64_t>(line));
  pending.co_name = std::string(co_name);
  pending.qualname = get_qualname(frame.get(), code);
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
  const RecordMaker& records = core_->records();
  const bool lightweight = records.lightweight_repr();
  Ref entry = Ref::check(PyDict_New());
  Ref probe = make_str("probe");
  if (PyDict_SetItem(entry.get(), name, probe.get()) < 0) throw_py();
  Ref as_entry = records.serializer().dump(entry.get(), lightweight);
  Ref alone = records.serializer().dump(probe.get(), lightweight);
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
        const RecordMaker& records = core_->records();
        dumped = records.serializer().dump(value.get(), records.lightweight_repr());
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
