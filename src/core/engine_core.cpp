#include "core/engine_core.hpp"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "filters.hpp"
#include "support/log.hpp"
#include "utils/ids.hpp"

namespace vask {
namespace {

// Records that name their trace (a test's start and end, a request and its
// response): the trace's name is read from its first and last records, so
// they are never cut out of it.
bool names_the_trace(std::string_view kind) {
  return kind == "start_test" || kind == "end_test" || kind == "django_request" ||
         kind == "django_response";
}

// The frame event of records [begin, end) of a batch: the event's class when
// the range holds the function's own "frame" record, otherwise none (or
// boundary, when it holds a record that names the trace).
BatchFrameEvent frame_event_of(const RecordBatch& batch, size_t begin, size_t end,
                               FrameEvent event) {
  bool boundary = false;
  for (size_t i = begin; i < end; ++i) {
    if (batch.kinds[i] == "frame") {
      return is_closing(event) ? BatchFrameEvent::Return : BatchFrameEvent::Call;
    }
    boundary = boundary || names_the_trace(batch.kinds[i]);
  }
  return boundary ? BatchFrameEvent::Boundary : BatchFrameEvent::None;
}

}  // namespace

EngineParts EngineParts::from_config(PyObject* config, EngineIdentity identity) {
  if (!PyDict_Check(config)) conversion_error(config, "PyDict");
  EngineParts parts{Config::from_dict(config)};

  PyObject* filters = PyDict_GetItemWithError(config, make_str("filters").get());
  if (filters == nullptr && PyErr_Occurred()) fault("config.get(\"filters\") should not raise.");
  Ref filters_ref = Ref::incref(filters);  // a dict's value may go away with the dict
  // The host's own files are internal wherever the package lives.
  note_package_dir(parts.config.find("package_dir"));

  Ref threading = import("threading");
  parts.current_thread = getattr(threading.get(), "current_thread");
  Ref thread = call(parts.current_thread.get());

  TraceSettings& settings = parts.settings;
  EngineCore::read_limits(config, parts.options, settings);
  settings.sqlite_busy_timeout = parts.config.get_uint("sqlite_busy_timeout", 60);
  parts.lightweight_repr = parts.config.get_bool("lightweight_repr", false);
  parts.omit_return_locals = parts.config.get_bool("omit_return_locals", false);
  if (PyObject* fold_after = parts.config.find("fold_after");
      fold_after != nullptr && fold_after != Py_None && fold_after != Py_False) {
    parts.fold_after = parts.config.get_uint("fold_after", 0);
  }
  if (PyObject* trace_after = parts.config.find("fold_trace_after");
      trace_after != nullptr && trace_after != Py_None && trace_after != Py_False) {
    parts.fold_trace_after = parts.config.get_uint("fold_trace_after", 0);
  }
  parts.fold_keep_last = parts.config.get_bool("fold_keep_last", false);

  parts.plugins = load_plugins(config);

  parts.trace_id = identity.trace_id ? std::move(*identity.trace_id) : new_trace_id();
  parts.started = timestamp();

  parts.include_frames = load_filters(filters_ref.get(), "include_frames");
  parts.ignore_frames = load_filters(filters_ref.get(), "ignore_frames");

  settings.main_thread_id = get_thread_id(thread.get());
  settings.db_path = std::move(identity.db_path);
  settings.source = std::move(identity.source);
  settings.default_trace_name = std::move(identity.name);
  settings.use_monitoring = identity.use_monitoring;
  parts.options.one_trace_per_test = identity.one_trace_per_test;
  parts.caller_rule = identity.use_monitoring ? CallerRule::UnnamedFile : CallerRule::EveryFile;
  parts.serializer.emplace(Serializer::create());
  return parts;
}

EngineCore::EngineCore(EngineParts parts)
    : pid_(static_cast<long>(::getpid())),
      serial_(detail::next_owner_id()),
      include_frames_(std::move(parts.include_frames)),
      ignore_frames_(std::move(parts.ignore_frames)),
      caller_rule_(parts.caller_rule),
      trace_point_targets_(std::move(parts.trace_point_targets)),
      current_thread_(std::move(parts.current_thread)),
      records_(std::move(*parts.serializer), std::move(parts.plugins), parts.lightweight_repr,
               parts.omit_return_locals),
      buffer_(std::move(parts.settings), std::move(parts.config), std::move(parts.trace_id),
              parts.started),
      flusher_(buffer_, parts.options.flush_subtree_bytes, parts.options.memory_budget_bytes,
               parts.options.flush_policy, parts.options.cut_hook),
      one_trace_per_test_(parts.options.one_trace_per_test),
      test_hooks_(parts.options.test_hooks),
      fold_after_(parts.fold_after),
      fold_trace_after_(parts.fold_trace_after),
      folding_(parts.fold_after != 0 || parts.fold_trace_after != 0),
      fold_keep_last_(folding_ && parts.fold_keep_last) {}

CodeVerdict EngineCore::verdict_of(PyCodeObject* code, std::string_view filename,
                                   std::string_view co_name) {
  CodeFacts* facts = code_facts(code);
  if (facts != nullptr && facts->verdict_owner == serial_) return facts->verdict;
  CodeVerdict verdict;
  verdict.recorded = verdict_by_name(filename, include_frames_, ignore_frames_, caller_rule_);
  if (const RecordMaker::Watchers* watchers = records_.watchers(co_name)) {
    for (const auto& processor : *watchers) {
      if (processor->path_matches(filename)) {
        verdict.watched = true;
        break;
      }
    }
  }
  verdict.target = !trace_point_targets_.empty() &&
                   trace_point_targets_.find(std::string(co_name)) != trace_point_targets_.end();
  verdict.attrs_make = ends_with_attrs_make(filename);
  // When they cannot be kept, the next event decides again.
  if (facts != nullptr) {
    facts->verdict = verdict;
    facts->verdict_owner = serial_;
  }
  return verdict;
}

void EngineCore::read_limits(PyObject* config, Options& options, TraceSettings& settings) {
  options.flush_subtree_bytes = resolve_flush_subtree_bytes(config);
  options.memory_budget_bytes = resolve_megabytes(config, "memory_budget_mb");
  settings.max_trace_bytes = resolve_megabytes(config, "max_trace_mb");
}

void EngineCore::check_not_inherited() const {
  if (!in_forked_child()) return;
  PyErr_Format(PyExc_RuntimeError,
               "this vask engine was inherited through fork() from process %ld: its records "
               "are that process's, and it records nothing in this one",
               pid_);
  throw_py();
}

void EngineCore::set_thread(EngineThreadState& ts, PyObject* thread) {
  if (ts.cached_thread.is(thread)) return;
  std::string thread_id = get_thread_id(thread);
  ThreadRef made = ThreadRef::of(thread);
  ts.cached_thread_id = std::move(thread_id);
  ts.cached_thread = std::move(made);
  ts.entered_epoch = 0;  // a new object under the identity is entered again
}

void RecordMaker::add_frame_record(EngineThreadState& ts, PyObject* frame, FrameEvent event,
                                   ArgKind arg_kind, PyObject* arg, std::string_view co_name,
                                   RecordBatch& batch, PyObject* event_code, int event_line,
                                   bool lightweight) const {
  // Valid until the thread's next event: nothing below records on it.
  const FrameId& frame_id = ts.frame_ids.get_or_set(event, reinterpret_cast<uintptr_t>(frame));
  std::optional<CallSite> call_site =
      ts.call_frames.get_user_code_call_site(frame, event, frame_id);
  // Written into a buffer that keeps its capacity across events, then stored
  // at its exact size: buffered records are what a long run's memory is made
  // of.
  Bytes& record = ts.record_scratch;
  record.clear();
  write_frame_with_serializer(record, frame, serializer_, call_site, arg_kind, arg, event, co_name,
                              frame_id, lightweight_repr_ || lightweight, omit_return_locals_,
                              event_code, event_line);
  batch.kinds.emplace_back("frame");
  batch.records.emplace_back(record);
}

void RecordMaker::write_folded_record(EngineThreadState& ts, PyObject* frame, FrameEvent event,
                                      ArgKind arg_kind, PyObject* arg, std::string_view co_name,
                                      Bytes& out) const {
  out.clear();
  try {
    // Valid until the thread's next event: nothing below records on it.
    const FrameId& frame_id = ts.frame_ids.get_or_set(event, reinterpret_cast<uintptr_t>(frame));
    const std::optional<CallSite> call_site =
        user_code_call_site(ts.call_frames.entries(), frame_id.view());
    write_frame_with_serializer(out, frame, serializer_, call_site, arg_kind, arg, event, co_name,
                                frame_id.view(), lightweight_repr_, omit_return_locals_);
  } catch (...) {
    out.clear();
    throw;
  }
}

void EngineCore::push_frames(EngineThreadState& ts, FrameEvent event, RecordBatch& batch) {
  if (batch.empty()) return;
  if (is_closing(event)) {
    std::reverse(batch.kinds.begin(), batch.kinds.end());
    std::reverse(batch.records.begin(), batch.records.end());
  }

  const size_t n = batch.records.size();
  if (!one_trace_per_test_) {
    push_frame_data(ts, batch.records, 0, n, frame_event_of(batch, 0, n, event));
    return;
  }

  // Each boundary of the batch is handled in turn, on the records after the
  // previous one.
  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    if (batch.kinds[i] == "end_test") {
      push_frame_data(ts, batch.records, start, i + 1, frame_event_of(batch, start, i + 1, event));
      start = i + 1;
      try {
        // The host stores it in the background while the program records:
        // the next test does not wait for the database.
        buffer_.save_in_db();
      } catch (...) {
        rethrow_if_forced_unwind();
        // The test's records are back in the buffers. What follows the end
        // of the test in this batch is still stored before the error is
        // reported.
        {
          ErrorStash keep;
          buffer_.keep_restored_test();
          if (test_hooks_ != nullptr) test_hooks_->test_ended();
          push_frame_data(ts, batch.records, start, n, frame_event_of(batch, start, n, event));
        }
        throw;
      }
      if (test_hooks_ != nullptr) test_hooks_->test_ended();
    } else if (batch.kinds[i] == "start_test") {
      // Records before the start belong to no test.
      start = i;
      try {
        start_new_test_trace();
      } catch (...) {
        rethrow_if_forced_unwind();
        {
          ErrorStash keep;
          push_frame_data(ts, batch.records, start, n, frame_event_of(batch, start, n, event));
        }
        throw;
      }
    }
  }
  push_frame_data(ts, batch.records, start, n, frame_event_of(batch, start, n, event));
}

void EngineCore::push_frame_data(EngineThreadState& ts, RecordList& records, size_t begin,
                                 size_t end, BatchFrameEvent frame_event) {
  if (begin >= end) return;
  ThreadRef replaced;  // let go of last, once the buffers' mutex is released
  FlushDue due;
  {
    // The append and its accounting happen under one hold of the buffers'
    // mutex, so that a build taking the buffers out (and voiding the
    // accounting with them) never sees one without the other.
    auto buffers = buffer_.lock_buffers();
    TraceBuffer::Appended appended = buffer_.append(buffers, ts.cached_thread_id, ts.cached_thread,
                                                    ts.entered_epoch, records, begin, end);
    replaced = std::move(appended.replaced);
    if (flusher_.enabled()) {
      due = flusher_.account(buffers, ts.flush_state, ts.cached_thread_id, *appended.list,
                             appended.old_length, frame_event);
    }
  }
  if (!due) return;
  try {
    flusher_.flush(due, ts.flush_state, ts.suspended, ts.cached_thread_id);
  } catch (...) {
    // The batch is stored; a flush that failed must not stop the rest of the
    // event (a test's end and its save may follow in the same batch). The
    // error is reported when the event is done.
    set_error_from_current_exception();
    Ref error = fetch_error();
    if (!ts.deferred_flush_error) ts.deferred_flush_error = std::move(error);
  }
}

void EngineCore::save() {
  check_not_inherited();
  buffer_.save_in_db();
  report_dropped_events();
}

Ref EngineCore::build_trace() {
  check_not_inherited();
  Ref document = buffer_.build_trace_inner();
  report_dropped_events();
  return document;
}

void EngineCore::report_dropped_events() {
  const uint64_t dropped = dropped_at_recursion_limit_.exchange(0, std::memory_order_relaxed);
  if (dropped == 0) return;
  try {
    log_info(std::to_string(dropped) + (dropped == 1 ? " event was" : " events were") +
             " not recorded in full: the program was at its recursion limit "
             "(RecursionError inside the tracer)");
  } catch (...) {
    // The count is a courtesy: only an exception of the program goes on.
    set_error_from_current_exception();
    Ref error = fetch_error();
    if (!belongs_to_program(error.get())) return;
    restore_error(std::move(error));
    throw PyErrSet{};
  }
}

void EngineCore::start_new_test_trace() {
  TraceLock trace = buffer_.lock_trace();
  buffer_.start_new_test_trace(trace);
  if (test_hooks_ != nullptr) test_hooks_->test_started(trace);
}

}  // namespace vask
