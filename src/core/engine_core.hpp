// What both engines stand on once an event's records are made: the thread's
// own state, the batch of one event, and the core that stores batches (the
// per-test switch, the subtree accounting and flushing) and saves traces.
// The engines differ only in how events reach them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.hpp"
#include "core/serializer.hpp"
#include "core/trace_buffer.hpp"
#include "plugins.hpp"
#include "subtree_flush.hpp"
#include "support/gil_mutex.hpp"
#include "support/program_errors.hpp"
#include "support/py.hpp"
#include "utils/call_sites.hpp"
#include "utils/ids.hpp"
#include "utils/records.hpp"
#include "utils/serialize.hpp"

namespace vask {

// The records of one event: kinds ("frame", "start_test", a plugin's type)
// and the encoded records, as two parallel lists.
struct RecordBatch {
  std::vector<std::string> kinds;
  RecordList records;
  bool empty() const noexcept { return records.empty(); }
  void clear() noexcept {
    kinds.clear();
    records.clear();
  }
};

// What one OS thread keeps for one engine; borrowed once per event.
struct EngineThreadState {
  CallFrames call_frames;
  FrameIds frame_ids;
  FlushThreadState flush_state;
  // Set while the thread's own Python code must not be recorded (a store of
  // a subtree flush runs on it, or the host asked): its events are ignored.
  bool suspended = false;
  // The thread object and its identity, computed once per object.
  Ref cached_thread;
  // The id of the thread state the thread object was asked for under
  // (PyThreadState_GetID; 0: none), where an engine keys it that way.
  uint64_t cached_thread_state = 0;
  std::string cached_thread_id;
  // The buffers' epoch in which the thread object was last entered.
  uint64_t entered_epoch = 0;
  // Reused across events so that the per-event lists do not allocate.
  RecordBatch scratch;
  Bytes record_scratch;
  // A subtree flush that failed during the current event, reported when the
  // event is done.
  Ref deferred_flush_error;
};

// The failures of one event. An exception that belongs to the traced
// program (belongs_to_program: KeyboardInterrupt, SystemExit, a signal
// handler's exception that surfaced inside a dumper, a plugin or the
// engine's own Python calls) is kept, to be raised in the traced frame once
// the event is done, where it would have arrived untraced. A RecursionError
// is the program's situation, not a fault of recording: the records it cost
// are dropped quietly and counted. Everything else goes to the engine's
// logger.
class EventErrors {
 public:
  // Call from a catch block. log(error) receives the exception object and
  // returns an exception of the program that arose while logging, or null.
  template <class Log>
  void report(Log&& log) {
    set_error_from_current_exception();
    add(fetch_error(), std::forward<Log>(log));
  }
  // An error already taken out (fetch_error()).
  template <class Log>
  void add(Ref error, Log&& log) {
    if (!error) return;
    if (belongs_to_program(error.get())) {
      keep(std::move(error));
    } else if (PyErr_GivenExceptionMatches(error.get(), PyExc_RecursionError)) {
      at_recursion_limit_ = true;
    } else {
      keep(log(std::move(error)));
    }
  }
  // The first exception of the program met during the event, or null.
  Ref take_program_error() noexcept { return std::move(program_error_); }
  bool at_recursion_limit() const noexcept { return at_recursion_limit_; }

 private:
  void keep(Ref error) noexcept {
    if (error && !program_error_) program_error_ = std::move(error);
  }

  Ref program_error_;
  bool at_recursion_limit_ = false;
};

// Makes the records of one event: the plugins' records and the function's
// own frame record. Fixed after construction; both engines own one.
class RecordMaker {
 public:
  using Watchers = std::vector<std::unique_ptr<PluginProcessor>>;

  RecordMaker(Serializer serializer, PluginRegistry plugins, bool lightweight_repr,
              bool omit_return_locals)
      : serializer_(std::move(serializer)),
        plugins_(std::move(plugins)),
        lightweight_repr_(lightweight_repr),
        omit_return_locals_(omit_return_locals) {}

  const Serializer& serializer() const noexcept { return serializer_; }
  bool lightweight_repr() const noexcept { return lightweight_repr_; }

  // The processors watching functions of this name, or null. One hash probe.
  const Watchers* watchers(std::string_view co_name) const {
    auto it = plugins_.find(co_name);
    return it == plugins_.end() ? nullptr : &it->second;
  }

  // Runs the processors in order, under the plugin lock, appending their
  // records to the batch. A failing processor is reported to `errors` (with
  // `log`) and loses its own record only; the next one goes on.
  template <class Log>
  void add_plugin_records(const Watchers& watchers, PyObject* frame, FrameEvent event,
                          PyObject* arg, std::string_view filename, EngineThreadState& ts,
                          RecordBatch& batch, EventErrors& errors, Log& log) {
    // Serialises the plugins' Python code between threads; the registry
    // itself never changes and is read without it.
    std::lock_guard<GilMutex> lock(plugin_lock_);
    for (const auto& processor : watchers) {
      try {
        if (!processor->matches_frame(frame, event, arg, filename)) continue;
        // Always the full dumper: a plugin's record is read back by the
        // engine and the readers (the test's name and outcome, a request's
        // method and path), which the lightweight dumper's reprs would hide.
        std::optional<PluginRecord> record =
            processor->process(frame, event, arg, ts.call_frames.get_bound(), false);
        if (record) {
          batch.kinds.push_back(std::move(record->type));
          batch.records.push_back(std::move(record->record));
        }
      } catch (...) {
        errors.report(log);
      }
    }
  }

  // Appends the function's frame record (kind "frame") with its frame id and
  // call site from the thread's state. Throws PyErrSet; the batch is
  // unchanged then.
  void add_frame_record(EngineThreadState& ts, PyObject* frame, FrameEvent event, ArgKind arg_kind,
                        PyObject* arg, std::string_view co_name, RecordBatch& batch) const;

 private:
  const Serializer serializer_;
  const PluginRegistry plugins_;
  GilMutex plugin_lock_;
  const bool lightweight_repr_;
  const bool omit_return_locals_;
};

// Engine-specific reactions to the rare moments of the per-test switch.
class TestHooks {
 public:
  // A new test's trace has started; the trace lock is still held.
  virtual void test_started(const TraceLock& trace) = 0;
  // A test's trace was stored (or kept after a failed store).
  virtual void test_ended() = 0;

 protected:
  ~TestHooks() = default;
};

class EngineCore {
 public:
  struct Options {
    bool one_trace_per_test = false;
    std::optional<uint64_t> flush_subtree_bytes;
    std::optional<uint64_t> memory_budget_bytes;
    FlushPolicy flush_policy = FlushPolicy::OneCandidatePerCheck;
    TestHooks* test_hooks = nullptr;  // may be null; must outlive the core
    CutHook* cut_hook = nullptr;      // may be null; must outlive the core
  };

  // The limits of the configuration dict (borrowed): "flush_subtree_mb",
  // "memory_budget_mb" into `options`, "max_trace_mb" into `settings`.
  // Throws PyErrSet (ValueError) naming a key whose value is not valid.
  static void read_limits(PyObject* config, Options& options, TraceSettings& settings);

  EngineCore(TraceSettings settings, Config config, std::string trace_id, double timestamp,
             Options options);
  EngineCore(const EngineCore&) = delete;
  EngineCore& operator=(const EngineCore&) = delete;

  // True in the child of a fork() made after the engine was built. The child
  // has only the forking thread: a mutex another thread held at the fork
  // stays locked for good there, so the engine must take none of its locks,
  // and the records it holds are the parent's. The host drops such an engine
  // without calling it and builds a new one (or none) for the child.
  bool in_forked_child() const noexcept { return fork_generation() != fork_generation_; }
  // Throws RuntimeError in a forked child (in_forked_child()): the Python
  // surface of an inherited engine neither builds nor stores the parent's
  // records there.
  void check_not_inherited() const;

  TraceBuffer& buffer() noexcept { return buffer_; }
  SubtreeFlusher& flusher() noexcept { return flusher_; }
  const Config& config() const noexcept { return buffer_.config(); }

  // Makes `thread` (a thread object, borrowed) the thread of the batches that
  // follow on this thread state: its identity is computed when the object
  // differs from the one seen last. Throws PyErrSet.
  void set_thread(EngineThreadState& ts, PyObject* thread);

  // Whether the function's own record of an event belongs in the trace:
  // always, until the trace reaches its size limit. From then on a call (an
  // opening event) is left out and counted for the thread's "calls_dropped"
  // marker, once identify() (which may throw) made the thread known with
  // set_thread(), and a closing event is kept only for a call that was
  // recorded, so that the trace's calls stay whole.
  template <class Identify>
  bool admits(EngineThreadState& ts, PyObject* frame, FrameEvent event, Identify&& identify) {
    if (!buffer_.over_size_limit()) return true;
    if (is_closing(event)) return ts.call_frames.top_is(frame);
    identify();
    buffer_.count_dropped_call(ts.cached_thread_id, ts.cached_thread.get());
    return false;
  }

  // Stores the batch of one event of the thread set with set_thread():
  // closing events have their kinds and records reversed first (the
  // function's own record, made last, comes first). With one trace per test
  // each "end_test" stores the trace up to and including it, and each
  // "start_test" starts a new trace with itself. A flush that fails is kept
  // in ts.deferred_flush_error. Throws PyErrSet; what could be stored is.
  void push_frames(EngineThreadState& ts, FrameEvent event, RecordBatch& batch);

  // The end of every event: stores a batch that is not empty, once
  // identify() (which may throw) made the thread known with set_thread(),
  // and leaves the batch empty. Every failure, a flush's included, goes to
  // `errors`; only a forced unwind goes through. Returns whether the whole
  // batch was stored (a flush that failed afterwards does not count against
  // it).
  template <class Identify, class Log>
  bool store_event(EngineThreadState& ts, FrameEvent event, RecordBatch& batch, EventErrors& errors,
                   Log& log, Identify&& identify) {
    if (batch.empty()) return false;
    bool stored = false;
    try {
      identify();
      push_frames(ts, event, batch);
      stored = true;
    } catch (...) {
      errors.report(log);
    }
    if (ts.deferred_flush_error) errors.add(std::move(ts.deferred_flush_error), log);
    batch.clear();
    return stored;
  }

  // The end of every event: notes records lost at the recursion limit, and
  // returns the exception to raise in the traced program, or null.
  Ref finish_event(EventErrors& errors) noexcept {
    if (errors.at_recursion_limit()) {
      dropped_at_recursion_limit_.fetch_add(1, std::memory_order_relaxed);
    }
    return errors.take_program_error();
  }

  // The engines' save() and build_trace(): the buffers saved in the
  // database, or built into one trace document (a new reference). Each then
  // reports the events dropped at the recursion limit. Throws PyErrSet, and
  // RuntimeError in a forked child (check_not_inherited()).
  void save();
  Ref build_trace();

 private:
  void push_frame_data(EngineThreadState& ts, RecordList& records, size_t begin, size_t end,
                       BatchFrameEvent frame_event);
  // Says once, on the "vask" logger at level INFO (not shown unless the
  // program configures logging), how many events lost records because the
  // program was at its recursion limit since the last report. Throws
  // PyErrSet only with an exception of the program.
  void report_dropped_events();
  void start_new_test_trace();

  const uint64_t fork_generation_ = fork_generation();
  const long pid_;  // the process the engine was built in
  TraceBuffer buffer_;
  SubtreeFlusher flusher_;
  std::atomic<uint64_t> dropped_at_recursion_limit_{0};
  const bool one_trace_per_test_;
  TestHooks* const test_hooks_;
};

}  // namespace vask
