// The sys.monitoring engine: VaskMonitor (Python 3.12 and later).
//
// The host package claims monitoring tool id 3 and registers the bound
// monitor_py* methods as the callbacks of PY_START, PY_RETURN, PY_UNWIND,
// PY_RESUME, PY_YIELD and PY_THROW. Each callback turns one event into
// records for the shared core. A code location that yields nothing, and
// never can, is answered with sys.monitoring.DISABLE, so that the
// interpreter stops reporting it: library code costs one event per location.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine_core.hpp"
#include "filters.hpp"
#include "markers.hpp"
#include "plugins.hpp"
#include "support/gil_mutex.hpp"
#include "support/per_thread.hpp"
#include "support/py.hpp"
#include "utils/ids.hpp"
#include "utils/serialize.hpp"

namespace vask {

// Builds on every Python the package supports; register_monitor refuses
// where sys.monitoring is missing (before 3.12).
class VaskMonitor final : private TestHooks, private CutHook {
 public:
  // register_monitor's converted arguments. config is a dict (borrowed).
  struct Arguments {
    std::string db_path;
    PyObject* config = nullptr;
    std::string source;
    bool one_trace_per_test = false;
    std::optional<std::string> name;
  };

  // Builds the engine. Throws PyErrSet; on failure nothing is left behind.
  static std::unique_ptr<VaskMonitor> create(const Arguments& args);
  ~VaskMonitor();

  // One event of a monitor_py* callback. Returns sys.monitoring.DISABLE or
  // None (new references), or null with KeyboardInterrupt/SystemExit set
  // when one arose while recording: it belongs to the traced program.
  // Recording errors are logged on the "vask" logger. GIL held.
  PyObject* on_event(PyObject* code, FrameEvent event, PyObject* arg) noexcept;

  EngineCore& core() noexcept { return *core_; }
  bool active() const noexcept { return active_.load(); }
  void set_active(bool value) noexcept { active_.store(value); }
  // Sets the calling thread's suspend flag. Throws InternalFault when called
  // from inside this monitor's own work on the same thread.
  void set_suspend_hooks(bool value);
  bool has_trace_points() const noexcept { return !on_return_targets_.empty(); }
  bool line_events() const noexcept { return line_events_; }
  static constexpr uint8_t kToolId = 3;

 private:
  VaskMonitor() = default;

  // Facts about a code object that depend on the code object alone, kept in
  // its extra slot.
  struct CodeFacts {
    // The filter verdict; unknown when it depends on the callers (an unnamed
    // file) and must be made per event.
    std::optional<bool> recorded;
    // Some plugin watches this name in this file: its answers can change
    // from event to event, so the location is never switched off.
    bool watched = false;
  };
  CodeFacts facts_of(PyCodeObject* code, std::string_view filename, std::string_view co_name);
  bool watched(std::string_view filename, std::string_view co_name) const;
  // Computes the thread's identity on its first event, with the thread
  // suspended meanwhile. Throws PyErrSet.
  void identify_thread(EngineThreadState& ts);
  void log_error(Ref error) noexcept;

  // TestHooks and CutHook: the markers follow the trace.
  void test_started(const TraceLock& trace) override;
  void test_ended() override;
  void after_cut(const TraceLock& trace, const std::string& thread_id, uint64_t start,
                 uint64_t end) override;
  void after_put_back(const TraceLock& trace, const std::string& thread_id, uint64_t start,
                      uint64_t end) override;

  // Fixed after construction.
  Finders include_frames_;
  Finders ignore_frames_;
  Ref current_thread_;
  Ref disable_;  // sys.monitoring.DISABLE
  std::unordered_set<std::string> on_return_targets_;
  bool line_events_ = false;
  // Tags this monitor's facts in code objects: a fact left by an earlier
  // monitor (other filters, other plugins) never matches.
  uint64_t serial_ = 0;
  std::optional<RecordMaker> records_;

  std::atomic<bool> active_{false};
  // A leaf mutex: taken alone, or inside the trace lock.
  Guarded<Markers> markers_;

  std::optional<EngineCore> core_;
  PerThread<EngineThreadState> thread_state_;
};

// register_monitor(db_path, config, source, one_trace_per_test, name=None):
// the new VaskMonitor object. Throws PyErrSet.
Ref register_monitor(const VaskMonitor::Arguments& args);

}  // namespace vask
