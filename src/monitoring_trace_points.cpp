// Trace points of the monitoring engine: every completed call of a target
// function (trace_points.on_return in the configuration), handed to the host
// as a trace of its own while the program runs.
//
// A target's call record opens a start marker that points at it; its return
// copies the thread's records from there to the end and hands them to
// vask.monitoring._save_trace_point_from_rust, which queues them for a
// background worker (the traced thread never waits on the database); an
// unwind drops the marker. The records stay in the thread's buffer and are
// saved with the trace as usual.
#include "monitoring.hpp"

namespace vask {

void VaskMonitor::trace_point_event(MonitorThreadState& ts, FrameEvent event, PyObject* frame,
                                    std::string_view co_name, EventErrors& errors) {
  auto log = [this](Ref error) { return log_error(std::move(error)); };
  const std::string& thread_id = ts.cached_thread_id;
  const auto address = reinterpret_cast<uintptr_t>(frame);
  try {
    switch (event) {
      case FrameEvent::Call: {
        uint64_t length = 0;
        uint64_t epoch = 0;
        {
          auto buffers = core_->buffer().lock_buffers();
          auto it = buffers->frames.find(thread_id);
          if (it != buffers->frames.end()) length = it->second.size();
          epoch = buffers->epoch;
        }
        // The call record is the last record of the list, the thread's first
        // one included. Should a build take the records out before the
        // marker is in, the marker carries the old epoch and is dropped as
        // stale at the return.
        if (length > 0) open_trace_point(*markers_.lock(), thread_id, length - 1, epoch, address);
        break;
      }
      case FrameEvent::Return: {
        std::optional<MarkerKind> start = close_trace_point(*markers_.lock(), thread_id, address);
        if (!start) break;
        RecordList records;
        {
          auto buffers = core_->buffer().lock_buffers();
          auto it = buffers->frames.find(thread_id);
          const uint64_t length = it != buffers->frames.end() ? it->second.size() : 0;
          // A start from before a build or a test start points at records
          // that are gone (or at others that took their places): stale, and
          // nothing is saved for it.
          if (!points_at_records(*start, buffers->epoch, length)) break;
          const RecordList& list = it->second;
          records.assign(list.begin() + static_cast<std::ptrdiff_t>(start->index), list.end());
        }
        // The buffers' mutex is released: the save runs Python code.
        save_trace_point(ts, records, co_name);
        break;
      }
      case FrameEvent::Unwind:
        // A call that ends by an exception is no trace point.
        close_trace_point(*markers_.lock(), thread_id, address);
        break;
      case FrameEvent::Resume:
      case FrameEvent::Yield:
      case FrameEvent::Throw:
        break;  // a generator's start stays open until it returns
    }
  } catch (...) {
    errors.report(log);
  }
}

void VaskMonitor::save_trace_point(MonitorThreadState& ts, const RecordList& records,
                                   std::string_view co_name) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (size_t i = 0; i < records.size(); ++i) {
    PyObject* bytes =
        PyBytes_FromStringAndSize(records[i].data(), static_cast<Py_ssize_t>(records[i].size()));
    if (bytes == nullptr) throw_py();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), bytes);  // steals
  }
  // The save runs Python code on this thread; none of it is recorded. The
  // flag is cleared afterwards whatever it was: the host never suspends a
  // thread that records trace points.
  ts.suspended = true;
  struct Resume {
    bool& flag;
    ~Resume() { flag = false; }
  } resume{ts.suspended};

  const TraceSettings& settings = core_->buffer().settings();
  Ref thread_id = make_str(ts.cached_thread_id);
  Ref name = make_str(co_name);
  Ref db_path = make_str(settings.db_path);
  Ref source = make_str(settings.source);
  Ref lightweight = Ref::incref(core_->records().lightweight_repr() ? Py_True : Py_False);
  Ref trace_id = make_str(core_->buffer().trace_id());
  Ref config = Ref::check(PyDict_Copy(trace_point_config_.get()));
  Ref timeout = Ref::check(PyLong_FromUnsignedLongLong(settings.sqlite_busy_timeout));

  Ref module = import("vask.monitoring");
  Ref save = getattr(module.get(), "_save_trace_point_from_rust");
  Ref::check(PyObject_CallFunctionObjArgs(save.get(), thread_id.get(), list.get(), name.get(),
                                          db_path.get(), source.get(), lightweight.get(),
                                          trace_id.get(), config.get(), timeout.get(), nullptr));
}

}  // namespace vask
