// The profile-hook engine: VaskProfiler.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.hpp"
#include "filters.hpp"
#include "plugins.hpp"
#include "subtree_flush.hpp"
#include "support/gil_mutex.hpp"
#include "support/per_thread.hpp"
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

// Whether a batch opened or closed a function, for the subtree accounting.
enum class BatchFrameEvent : uint8_t { None, Call, Return };

// What one OS thread keeps for one engine. Borrowed once per event.
struct ProfilerThreadState {
  CallFrames call_frames;
  FrameIds frame_ids;
  FlushThreadState flush_state;
  // Set only while a subtree flush of this thread is saving: the save's own
  // Python code is not recorded.
  bool suspended = false;
  // The thread object seen last and its identity, so that an unchanged
  // thread object is not converted again on every event.
  Ref cached_thread;
  std::string cached_thread_id;
  // Reused across events so that the per-event lists do not allocate.
  RecordBatch scratch;
  Bytes record_scratch;
  // A subtree flush that failed during the current event, reported when the
  // event is done.
  Ref deferred_flush_error;
};

class VaskProfiler {
 public:
  // Builds the engine from the host's profiler object. Throws PyErrSet; on
  // failure nothing is left behind.
  static std::unique_ptr<VaskProfiler> new_from_python(PyObject* profiler);

  // One call or return event (the profile callback's body). Never throws:
  // recording errors are logged on the "vask" logger.
  // Returns 0, or -1 with KeyboardInterrupt/SystemExit set when one arose
  // while recording: it belongs to the traced program.
  int on_event(PyFrameObject* frame, FrameEvent event, PyObject* arg) noexcept;

  // The trace document of everything buffered since the last build.
  Ref build_trace_inner();
  // Builds the document and stores it through vask.db.save_trace. When the
  // store fails the records go back into the buffers, ahead of anything
  // recorded since, and the error is thrown.
  void save_in_db();
  // Starts a new accounting epoch and forgets every open subtree. Call with
  // the buffers' mutex held when the buffers are emptied at the same time.
  void reset_subtree_tracking();

  // Appends one event's records (push_frames) / one thread's records
  // (push_frame_data). Throw PyErrSet.
  void push_frames(ProfilerThreadState& ts, FrameEvent event, RecordBatch& batch);
  void push_frame_data(ProfilerThreadState& ts, const std::string& thread_id, RecordList& records,
                       size_t begin, size_t end, BatchFrameEvent frame_event);

  std::optional<std::string> trace_name_for_thread(const FramesByThread& records,
                                                   std::string_view thread_id);

  std::optional<uint64_t> flush_subtree_bytes() const noexcept { return flush_subtree_bytes_; }
  uint64_t flush_trigger_bytes() const noexcept { return flush_trigger_bytes_; }
  PerThread<ProfilerThreadState>& thread_state() noexcept { return thread_state_; }

 private:
  VaskProfiler() = default;

  // What a build takes out of the engine: the buffers and the ids they
  // were recorded under.
  struct Taken {
    FramesByThread frames;
    ThreadMap threads;
    std::string trace_id;
    std::string root_trace_id;
  };
  // Puts records taken out for a build back in front of the buffers.
  void restore(Taken taken);
  Taken take_buffers();
  // The buffers and ids, taken together under the trace lock.
  Taken take_trace();
  // Runs work; when it fails, the taken records go back before it rethrows.
  template <class F>
  auto restoring_on_failure(Taken& taken, F&& work);
  Ref build_document(const Taken& taken);
  void store_document(const std::string& trace_id, PyObject* document);
  void start_new_test_trace();
  void log_error(PyFrameObject* frame, FrameEvent event, std::string_view co_filename,
                 std::string_view co_name) noexcept;
  void enter_thread(const std::string& thread_id, PyObject* thread);
  // Subtree flushing (subtree_flush.cpp). account_batch runs with the
  // buffers' mutex held and returns whether the thread is being tracked.
  bool account_batch(FlushThreadState& state, const std::string& thread_id, const RecordList& list,
                     uint64_t old_length, BatchFrameEvent frame_event);
  void maybe_flush(ProfilerThreadState& ts, const std::string& thread_id);
  void flush_largest_candidate(ProfilerThreadState& ts, const std::string& thread_id);

  // Fixed after construction.
  std::optional<uint64_t> flush_subtree_bytes_;
  uint64_t flush_trigger_bytes_ = 0;
  std::string db_path_;
  Finders include_frames_;
  Finders ignore_frames_;
  std::string main_thread_id_;
  std::string source_;
  std::optional<std::string> default_trace_name_;
  Ref current_thread_;
  std::optional<Serializer> serializer_;
  Config config_;
  bool one_trace_per_test_ = false;
  bool lightweight_repr_ = false;
  bool omit_return_locals_ = false;
  uint64_t sqlite_busy_timeout_ = 60;
  double timestamp_ = 0;
  // Never changed after construction either, so it is read without a lock;
  // plugin_lock_ only serialises the plugins' own Python code.
  PluginRegistry default_include_frames_;
  GilMutex plugin_lock_;

  // Shared, each behind its own mutex. Lock order: trace_lock_ first, then
  // one data mutex at a time.
  GilMutex trace_lock_;
  Guarded<std::string> trace_id_;
  Guarded<std::string> root_trace_id_;
  Guarded<std::optional<std::string>> trace_name_;
  Guarded<FramesByThread> frames_by_thread_;
  Guarded<ThreadMap> threads_;
  // Traces of earlier tests that could not be stored when they ended, kept
  // to be stored before the next trace is.
  Guarded<std::vector<Taken>> unsaved_;
  // True while the buffers hold records of a test whose save failed.
  std::atomic<bool> restored_test_records_{false};
  std::atomic<uint64_t> flush_epoch_{0};
  // Taken alone, or inside the buffers' mutex; never the other way round.
  Guarded<OpenSubtrees> open_subtrees_;
  Guarded<std::unordered_set<std::string>> flushing_threads_;

  PerThread<ProfilerThreadState> thread_state_;
};

// register_profiler(profiler): builds the engine from the host's profiler
// object, stores it as profiler.rust_profiler and installs the profile hook
// (and threading.setprofile when config["threading"] is True).
PyObject* register_profiler(PyObject* profiler);

// The do-nothing profile hook, for measuring the hook mechanism itself.
int noop_profile(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) noexcept;

}  // namespace vask
