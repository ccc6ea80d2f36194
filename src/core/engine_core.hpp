// What both engines stand on: their construction from the configuration,
// the skeleton of every event (the thread's own state, the code object's
// verdict, the records of one event), and the core that stores batches (the
// per-test switch, the subtree accounting and flushing) and saves traces.
// The engines differ only in how events reach them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config.hpp"
#include "core/folding.hpp"
#include "core/serializer.hpp"
#include "core/trace_buffer.hpp"
#include "plugins.hpp"
#include "subtree_flush.hpp"
#include "support/gil_mutex.hpp"
#include "support/per_thread.hpp"
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
  // Repeated calls folded under the thread's open recorded frames.
  FoldState fold;
  // Set while the thread's own Python code must not be recorded (a store of
  // a subtree flush runs on it, or the host asked): its events are ignored.
  bool suspended = false;
  // The thread (its object not kept alive) and its identity, computed once
  // per object.
  ThreadRef cached_thread;
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
// own frame record. Fixed after construction; each engine's core owns one.
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
        // The record is written by the dumper of the trace's form, as the
        // frame records are: the lightweight form keeps short plain values
        // as themselves, so the engine and the readers still find a test's
        // name and outcome and a request's method, path and status there.
        std::optional<PluginRecord> record =
            processor->process(frame, event, arg, ts.call_frames.get_bound(), lightweight_repr_);
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
  // call site from the thread's state; named by `event_code` at
  // `event_line` as write_frame_with_serializer() says. Its values are
  // written in the trace's form, or in the lightweight form when
  // `lightweight` (a folded call that raised). Throws PyErrSet; the batch is
  // unchanged then.
  void add_frame_record(EngineThreadState& ts, PyObject* frame, FrameEvent event, ArgKind arg_kind,
                        PyObject* arg, std::string_view co_name, RecordBatch& batch,
                        PyObject* event_code = nullptr, int event_line = -1,
                        bool lightweight = false) const;
  // The frame record of an event of a folded call, written into `out`
  // (cleared first) apart from the thread's records: the frame's own id, the
  // open recorded frame as its call site, the stack of recorded frames left
  // as it is. Throws PyErrSet; `out` is cleared then.
  void write_folded_record(EngineThreadState& ts, PyObject* frame, FrameEvent event,
                           ArgKind arg_kind, PyObject* arg, std::string_view co_name,
                           Bytes& out) const;

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

// What the host hands an engine besides its configuration dict:
// register_profiler reads it from the profiler object's attributes,
// register_monitor from its arguments.
struct EngineIdentity {
  std::string db_path;  // as the file system names it (fs_encode)
  std::string source;
  std::optional<std::string> name;  // the trace's name, and each test's
  bool one_trace_per_test = false;
  // The host's trace id; a new one when absent.
  std::optional<std::string> trace_id;
  bool use_monitoring = false;
};

// The limits and hooks of an engine's core.
struct EngineOptions {
  bool one_trace_per_test = false;
  std::optional<uint64_t> flush_subtree_bytes;
  std::optional<uint64_t> memory_budget_bytes;
  FlushPolicy flush_policy = FlushPolicy::OneCandidatePerCheck;
  TestHooks* test_hooks = nullptr;  // may be null; must outlive the core
  CutHook* cut_hook = nullptr;      // may be null; must outlive the core
};

// Everything an engine's core is built from, read from the configuration
// the same way for both engines.
struct EngineParts {
  // Reads, in this order: the configuration record (a dict, else a
  // conversion error naming PyDict), "filters", the constructing thread
  // (threading.current_thread), the limits ("flush_subtree_mb",
  // "memory_budget_mb", "max_trace_mb"), "sqlite_busy_timeout",
  // "lightweight_repr", "omit_return_locals", the plugins, the trace id and
  // time, the include and ignore rules, then the value serializer. `config`
  // is borrowed. Throws PyErrSet with the first error met.
  static EngineParts from_config(PyObject* config, EngineIdentity identity);

  Config config;
  TraceSettings settings;
  EngineOptions options;
  std::string trace_id;
  double started = 0;
  Finders include_frames;
  Finders ignore_frames;
  Ref current_thread;  // threading.current_thread
  std::optional<Serializer> serializer;
  PluginRegistry plugins;
  bool lightweight_repr = false;
  bool omit_return_locals = false;
  // Calls of one code object recorded in full under one recorded call
  // before the rest are folded ("fold_after"; 0: none folded).
  uint64_t fold_after = 0;
  // Calls of one code object recorded in full in one trace (per thread)
  // before the rest are folded wherever they run ("fold_trace_after"; 0:
  // no such budget).
  uint64_t fold_trace_after = 0;
  // Whether the last folded call of each kind is kept in full
  // ("fold_keep_last"): every folded call is then written, not stored.
  bool fold_keep_last = false;
  // Functions whose completed calls are trace points (co_name).
  std::unordered_set<std::string> trace_point_targets;
  CallerRule caller_rule = CallerRule::EveryFile;
};

// How an event ended: the engine's answer (borrowed: None or DISABLE), or
// an exception of the traced program set, to be raised in its frame.
struct EventEnd {
  PyObject* answer;
  bool raised;
};

class EngineCore {
 public:
  using Options = EngineOptions;

  // The limits of the configuration dict (borrowed): "flush_subtree_mb",
  // "memory_budget_mb" into `options`, "max_trace_mb" into `settings`.
  // Throws PyErrSet (ValueError) naming a key whose value is not valid.
  static void read_limits(PyObject* config, Options& options, TraceSettings& settings);

  // `parts.options` with the engine's hooks set.
  explicit EngineCore(EngineParts parts);
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
  RecordMaker& records() noexcept { return records_; }
  const Finders& include_frames() const noexcept { return include_frames_; }
  const Finders& ignore_frames() const noexcept { return ignore_frames_; }
  PyObject* current_thread() const noexcept { return current_thread_.get(); }

  // This engine's verdict on a code object, kept in its facts (made afresh
  // where they cannot be kept). Runs no Python code. GIL held.
  CodeVerdict verdict_of(PyCodeObject* code, std::string_view filename, std::string_view co_name);
  // The decision on the code running in `frame` with this engine's rules,
  // for a verdict the callers decide. Throws PyErrSet.
  bool should_record(PyObject* frame, std::string_view filename) const {
    return vask::should_record(frame, filename, include_frames_, ignore_frames_, caller_rule_);
  }

  // One event, as both engines take it: nothing in a forked child; the
  // exception in flight kept; the thread's state borrowed; `begin(ts,
  // errors)` first (the monitor's pending assignment); a suspended thread
  // left alone; the code object's names and this engine's verdict; then
  // `handle(ts, code, filename, co_name, verdict, errors)` for the answer
  // (borrowed); and at the end an exception of the program raised in the
  // traced frame. `quiet` is the answer when nothing is done. Not noexcept:
  // a forced unwind (a thread the interpreter ends at exit) goes through.
  template <class State, class Begin, class Handle, class Log>
  EventEnd event(PerThread<State>& states, PyObject* code, PyObject* quiet, Begin&& begin,
                 Handle&& handle, Log&& log);

  // The records of one event of `frame`: the watching plugins' (when
  // `watched`), then the function's own when `decide()` says its code is
  // recorded, the call is not folded and the trace admits it, stored with
  // the thread made known by identify(). Watched and trace-point (`target`)
  // code is never folded, and is recorded inside a folded call too. Every
  // failure goes to `errors`. Returns whether the function's own record was
  // stored. The record is named by `event_code` (null: the frame's own code
  // object) at `event_line`. `exception_left`: the closing event is the
  // frame left by an exception (the monitor's unwind, the profile hook's
  // return with no value).
  template <class Decide, class Identify, class Log>
  bool record_event(EngineThreadState& ts, PyObject* frame, FrameEvent event, ArgKind arg_kind,
                    PyObject* arg, bool exception_left, std::string_view filename,
                    std::string_view co_name, bool watched, bool target, Decide&& decide,
                    Identify&& identify, EventErrors& errors, Log& log,
                    PyObject* event_code = nullptr, int event_line = -1);

  uint64_t fold_after() const noexcept { return fold_after_; }

  // Folding's part of an event of a recorded frame: whether its own record
  // is still made. Folds a call past the first fold_after() under its
  // recorded parent, or past the trace budget (unless `kept_code`), ends a folded call at its closing
  // event (recording, in the lightweight form, the call of one that raised:
  // `exception_left`; `kept_raise` is then set, for its closing record to be
  // written in that form too), and leaves out what runs inside a folded
  // call.
  template <class Identify, class Log>
  bool fold_event(EngineThreadState& ts, PyObject* frame, FrameEvent event, ArgKind arg_kind,
                  PyObject* arg, bool exception_left, std::string_view filename,
                  std::string_view co_name, bool kept_code, bool& kept_raise, Identify& identify,
                  EventErrors& errors, Log& log);

  // Makes `thread` (a thread object, borrowed) the thread of the batches that
  // follow on this thread state: its identity is computed when the object
  // differs from the one seen last (or that one is gone). Throws PyErrSet.
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
    buffer_.count_dropped_call(ts.cached_thread_id, ts.cached_thread);
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
      // The thread's recorded calls all returned (its last one, when it
      // ends): its name as it is now is the one its facts keep, should its
      // object be gone by the time a document is written.
      if ((event == FrameEvent::Return || event == FrameEvent::Unwind) &&
          ts.call_frames.size() == 0) {
        ts.cached_thread.note_name();
      }
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
  // Tags this engine's verdicts in the code objects' facts.
  const uint64_t serial_;
  const Finders include_frames_;
  const Finders ignore_frames_;
  const CallerRule caller_rule_;
  const std::unordered_set<std::string> trace_point_targets_;
  const Ref current_thread_;
  RecordMaker records_;
  TraceBuffer buffer_;
  SubtreeFlusher flusher_;
  std::atomic<uint64_t> dropped_at_recursion_limit_{0};
  const bool one_trace_per_test_;
  TestHooks* const test_hooks_;
  const uint64_t fold_after_;
  const uint64_t fold_trace_after_;
  // Whether either limit is set: folding's state is kept.
  const bool folding_;
  const bool fold_keep_last_;
};

template <class State, class Begin, class Handle, class Log>
EventEnd EngineCore::event(PerThread<State>& states, PyObject* code, PyObject* quiet, Begin&& begin,
                           Handle&& handle, Log&& log) {
  // The child of a fork() runs the parent's hooks until the host replaces
  // them.
  if (in_forked_child()) return {quiet, false};
  // Recording never disturbs an exception the traced program has in flight.
  ErrorStash stash;
  std::optional<typename PerThread<State>::Borrow> borrowed;
  try {
    borrowed.emplace(states.borrow());
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(nullptr);
    return {quiet, false};
  }
  State& ts = **borrowed;
  // Errors of recording are logged and dropped. An exception of the program
  // met on the way (a signal handler runs inside a dumper as anywhere else)
  // is the program's own: the event is finished, then it is raised in the
  // traced frame.
  EventErrors errors;
  begin(ts, errors);
  PyObject* answer = quiet;
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
      // stay valid with `code`, which the caller holds for the event (and
      // their escaped copies, for a file name with lone surrogates, with
      // themselves).
      const std::optional<Utf8Text> filename = try_utf8_text(co->co_filename);
      const std::optional<Utf8Text> co_name = try_utf8_text(co->co_name);
      if (filename && co_name) {
        const CodeVerdict verdict = verdict_of(co, filename->text(), co_name->text());
        answer = handle(ts, co, filename->text(), co_name->text(), verdict, errors);
      }
    }
  }
  Ref program_error = finish_event(errors);
  if (!program_error) return {answer, false};
  stash.discard();  // the program's exception replaces whatever was in flight
  restore_error(std::move(program_error));
  return {nullptr, true};
}

template <class Decide, class Identify, class Log>
bool EngineCore::record_event(EngineThreadState& ts, PyObject* frame, FrameEvent event,
                              ArgKind arg_kind, PyObject* arg, bool exception_left,
                              std::string_view filename, std::string_view co_name, bool watched,
                              bool target, Decide&& decide, Identify&& identify,
                              EventErrors& errors, Log& log, PyObject* event_code,
                              int event_line) {
  RecordBatch& batch = ts.scratch;
  batch.clear();
  // Plugins watch functions by name and file: only a watched code object
  // takes the plugin lock.
  if (watched) {
    if (const RecordMaker::Watchers* watchers = records_.watchers(co_name)) {
      records_.add_plugin_records(*watchers, frame, event, arg, filename, ts, batch, errors, log);
    }
  }
  bool recorded = false;
  try {
    recorded = decide();
  } catch (...) {
    errors.report(log);
  }
  // Set for the closing record of a folded call that raised, this event
  // only: it is written in the lightweight form, as its call record was.
  bool kept_raise = false;
  if (recorded && folding_) {
    recorded = fold_event(ts, frame, event, arg_kind, arg, exception_left, filename, co_name,
                          watched || target, kept_raise, identify, errors, log);
  }
  bool own_record = false;
  if (recorded) {
    try {
      if (admits(ts, frame, event, identify)) {
        records_.add_frame_record(ts, frame, event, arg_kind, arg, co_name, batch, event_code,
                                  event_line, kept_raise);
        own_record = true;
        // The frame's fold records go right before its closing record (the
        // closing batch is reversed when stored).
        if (folding_ && is_closing(event)) {
          ts.fold.close_scope(frame, batch.kinds, batch.records);
        }
      }
    } catch (...) {
      // The function's own record is lost; records the plugins made for
      // this event (a test start, a request) are still stored below.
      errors.report(log);
    }
  }
  const bool stored = store_event(ts, event, batch, errors, log, identify);
  if (stored && own_record && folding_ && !is_closing(event)) {
    try {
      ts.fold.open_scope(frame);
    } catch (...) {
      errors.report(log);
    }
  }
  return stored && own_record;
}

template <class Identify, class Log>
bool EngineCore::fold_event(EngineThreadState& ts, PyObject* frame, FrameEvent event,
                            ArgKind arg_kind, PyObject* arg, bool exception_left,
                            std::string_view filename, std::string_view co_name, bool kept_code,
                            bool& kept_raise, Identify& identify, EventErrors& errors, Log& log) {
  FoldState& fold = ts.fold;
  if (fold.skipping()) {
    if (frame == fold.skip_frame()) {
      if (!is_closing(event)) return false;
      // A folded call that raised is recorded after all, in the lightweight
      // form: its call now, its unwind by the caller.
      const bool raised = exception_left;
      if (!raised && fold_keep_last_ && !fold.opening_slot().empty()) {
        try {
          records_.write_folded_record(ts, frame, event, arg_kind, arg, co_name,
                                       fold.closing_slot());
        } catch (...) {
          errors.report(log);
        }
      }
      fold.end_skip(raised);
      if (raised) {
        RecordBatch call;
        try {
          if (admits(ts, frame, FrameEvent::Call, identify)) {
            records_.add_frame_record(ts, frame, FrameEvent::Call, ArgKind::None, nullptr, co_name,
                                      call, nullptr, -1, /*lightweight=*/true);
          }
        } catch (...) {
          errors.report(log);
        }
        store_event(ts, FrameEvent::Call, call, errors, log, identify);
      }
      kept_raise = raised;
      return raised;
    }
    if (is_closing(event) && fold.is_skip_parent(frame)) {
      // The folded call's end never came (its events were switched off):
      // it ends with its caller.
      fold.end_skip(false);
      return true;
    }
    // Inside a folded call only what is always kept is recorded.
    return kept_code;
  }
  if (kept_code || (event != FrameEvent::Call && event != FrameEvent::Resume)) return true;
  try {
    if (fold.at_top_level()) {
      // Folded at the thread's top level, held for the trace: the thread is
      // made known first.
      identify();
      if (std::shared_ptr<RootFolds> made = fold.root_as(ts.cached_thread_id, ts.cached_thread)) {
        buffer_.hold_records(std::move(made));
      }
    }
    std::span<const CallFrameEntry> open = ts.call_frames.entries();
    const FrameId* parent_id = open.empty() ? nullptr : &open.back().frame_id;
    Ref code = Ref::steal(
        reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
    const FoldLimits limits{fold_after_, fold_trace_after_, buffer_.trace_serial()};
    if (!fold.fold_opening(limits, frame, reinterpret_cast<PyCodeObject*>(code.get()),
                           event == FrameEvent::Resume, filename, co_name, parent_id)) {
      return true;
    }
  } catch (...) {
    errors.report(log);
    return true;
  }
  if (fold_keep_last_) {
    // Written now, with the arguments as they are at the call; kept only
    // if it turns out to be the last.
    try {
      records_.write_folded_record(ts, frame, event, arg_kind, arg, co_name, fold.opening_slot());
    } catch (...) {
      errors.report(log);
    }
  }
  return false;
}

}  // namespace vask
