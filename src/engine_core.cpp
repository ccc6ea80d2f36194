#include "engine_core.hpp"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "support/log.hpp"

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

EngineCore::EngineCore(TraceSettings settings, Config config, std::string trace_id,
                       double timestamp, Options options)
    : pid_(static_cast<long>(::getpid())),
      buffer_(std::move(settings), std::move(config), std::move(trace_id), timestamp),
      flusher_(buffer_, options.flush_subtree_bytes, options.memory_budget_bytes,
               options.flush_policy, options.cut_hook),
      one_trace_per_test_(options.one_trace_per_test),
      test_hooks_(options.test_hooks) {}

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
  if (thread == ts.cached_thread.get()) return;
  ts.cached_thread_id = get_thread_id(thread);
  ts.cached_thread = Ref::incref(thread);
  ts.entered_epoch = 0;  // a new object under the identity is entered again
}

void RecordMaker::add_frame_record(EngineThreadState& ts, PyObject* frame, FrameEvent event,
                                   ArgKind arg_kind, PyObject* arg, std::string_view co_name,
                                   RecordBatch& batch) const {
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
                              frame_id, lightweight_repr_, omit_return_locals_);
  batch.kinds.emplace_back("frame");
  batch.records.emplace_back(record);
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
  Ref replaced;  // dropped last, once the buffers' mutex is released
  FlushDue due;
  {
    // The append and its accounting happen under one hold of the buffers'
    // mutex, so that a build taking the buffers out (and voiding the
    // accounting with them) never sees one without the other.
    auto buffers = buffer_.lock_buffers();
    TraceBuffer::Appended appended =
        buffer_.append(buffers, ts.cached_thread_id, ts.cached_thread.get(), ts.entered_epoch,
                       records, begin, end);
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
