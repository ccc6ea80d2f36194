// The sys.monitoring engine: VaskMonitor (Python 3.12 and later).
//
// The host package claims monitoring tool id 3 and registers the bound
// monitor_py* methods as the callbacks of PY_START, PY_RETURN, PY_UNWIND,
// PY_RESUME, PY_YIELD and PY_THROW. Each callback turns one event into
// records for the shared core. A code location that yields nothing, and
// never can, is answered with sys.monitoring.DISABLE, so that the
// interpreter stops reporting it: library code costs one event per location.
//
// With `line_events` the host registers monitor_instruction for INSTRUCTION
// as well, and assignments to variables become records of their own
// (monitoring_assignments.*). Functions named under trace_points.on_return
// have every completed call handed to the host as a trace of its own
// (monitoring_trace_points.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/engine_core.hpp"
#include "core/markers.hpp"
#include "core/serializer.hpp"
#include "filters.hpp"
#include "monitoring_assignments.hpp"
#include "plugins.hpp"
#include "support/gil_mutex.hpp"
#include "support/per_thread.hpp"
#include "support/py.hpp"
#include "utils/ids.hpp"

namespace vask {

// What one OS thread keeps for the monitor: the engines' shared state and an
// assignment whose store has been seen and not yet recorded.
struct MonitorThreadState : EngineThreadState {
  std::optional<PendingAssignment> pending;
  // Per variable name: what the dumpers write for a value stored under it
  // as an entry of the locals when they redact it (the marker), or nothing
  // for a name they leave alone. The redaction is fixed for the monitor's
  // life.
  std::unordered_map<std::string, std::optional<std::string>> redacted_names;
};

// Builds on every Python the package supports; register_monitor refuses
// where sys.monitoring is missing (before 3.12).
class VaskMonitor final : private TestHooks, private CutHook {
 public:
  // register_monitor's converted arguments. config is a dict (borrowed).
  struct Arguments {
    std::string db_path;  // as the file system names it (fs_encode)
    PyObject* config = nullptr;
    std::string source;
    bool one_trace_per_test = false;
    std::optional<std::string> name;
  };

  // Builds the engine. Throws PyErrSet; on failure nothing is left behind.
  static std::unique_ptr<VaskMonitor> create(const Arguments& args);
  ~VaskMonitor();

  // One event of a monitor_py* callback. Returns sys.monitoring.DISABLE or
  // None (new references), or null with an exception of the traced program
  // set when one arose while recording (see EventErrors).
  // Recording errors are logged on the "vask" logger. The record is named by
  // `code` (at `offset`'s line when the current frame runs another code
  // object; -1: no usable offset). GIL held.
  PyObject* on_event(PyObject* code, int64_t offset, FrameEvent event, PyObject* arg);
  // One INSTRUCTION event: a store into a variable of recorded code is noted,
  // to be recorded at the thread's next callback, once it has run. Returns
  // DISABLE for every other instruction (but the one right after a store,
  // which records it), None otherwise, or null as on_event. GIL held.
  PyObject* on_instruction(PyObject* code, int64_t offset);

  EngineCore& core() noexcept { return *core_; }
  bool active() const noexcept { return active_.load(); }
  void set_active(bool value) noexcept { active_.store(value); }
  // Sets the calling thread's suspend flag. Throws InternalFault when called
  // from inside this monitor's own work on the same thread.
  void set_suspend_hooks(bool value);
  bool has_trace_points() const noexcept { return has_trace_points_; }
  bool line_events() const noexcept { return line_events_; }
  static constexpr uint8_t kToolId = 3;

 private:
  VaskMonitor() = default;

  // Records the thread's pending assignment, if any; called first by every
  // callback. Failures go to `errors`.
  void record_pending(MonitorThreadState& ts, EventErrors& errors);
  // What the locals would show for a value of the variable `name` (a str)
  // in place of the value, when they redact it (see MonitorThreadState).
  // Throws PyErrSet.
  const std::optional<std::string>& redaction_of(MonitorThreadState& ts, PyObject* name);
  // Notes the store `site` at `offset` of `code` in the current frame as the
  // thread's pending assignment, named by `code`. Throws PyErrSet.
  void note_store(MonitorThreadState& ts, PyObject* code, int64_t offset, std::string_view filename,
                  std::string_view co_name, const StoreSite& site);

  // The trace-point part of an event of a target whose own record was
  // stored: a call opens its trace point, a return saves it, an unwind drops
  // it. Failures go to `errors`.
  void trace_point_event(MonitorThreadState& ts, FrameEvent event, PyObject* frame,
                         std::string_view co_name, EventErrors& errors);
  // Hands a completed call's records to vask.monitoring._save_trace_point_from_rust,
  // with the thread suspended meanwhile. Throws PyErrSet.
  void save_trace_point(MonitorThreadState& ts, const RecordList& records,
                        std::string_view co_name);

  // Computes the thread's identity on its first event, with the thread
  // suspended meanwhile. Throws PyErrSet.
  void identify_thread(EngineThreadState& ts);
  // Returns an exception of the program raised while logging, or null.
  Ref log_error(Ref error);
  // The skeleton of every callback (EngineCore::event) with the pending
  // assignment recorded first. Returns a new reference, or null with an
  // exception of the program set.
  template <class Handle>
  PyObject* callback(PyObject* code, Handle&& handle);

  // TestHooks and CutHook: the markers follow the trace.
  void test_started(const TraceLock& trace) override;
  void test_ended() override;
  void after_cut(const TraceLock& trace, const std::string& thread_id, uint64_t start,
                 uint64_t end) override;
  void after_put_back(const TraceLock& trace, const std::string& thread_id, uint64_t start,
                      uint64_t end) override;

  // Fixed after construction.
  Ref disable_;  // sys.monitoring.DISABLE
  bool has_trace_points_ = false;
  // The configuration handed to each trace-point save (a copy of it).
  Ref trace_point_config_;
  bool line_events_ = false;

  std::atomic<bool> active_{false};
  // A leaf mutex: taken alone, or inside the trace lock.
  Guarded<Markers> markers_;

  std::optional<EngineCore> core_;
  PerThread<MonitorThreadState> thread_state_;
};

// register_monitor(db_path, config, source, one_trace_per_test, name=None):
// the new VaskMonitor object. Throws PyErrSet.
Ref register_monitor(const VaskMonitor::Arguments& args);

}  // namespace vask
