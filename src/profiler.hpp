// The profile-hook engine: VaskProfiler.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/engine_core.hpp"
#include "core/serializer.hpp"
#include "filters.hpp"
#include "plugins.hpp"
#include "support/gil_mutex.hpp"
#include "support/per_thread.hpp"
#include "support/py.hpp"
#include "utils/ids.hpp"

namespace vask {

class VaskProfiler {
 public:
  // Builds the engine from the host's profiler object. Throws PyErrSet; on
  // failure nothing is left behind.
  static std::unique_ptr<VaskProfiler> new_from_python(PyObject* profiler);

  // One call or return event (the profile callback's body). Never throws
  // (but for a forced unwind): recording errors are logged on the "vask"
  // logger.
  // Returns 0, or -1 with an exception of the traced program set when one
  // arose while recording (see EventErrors). `hooked`: the event comes from
  // the native hook, which sees every event of the thread (a Python-level
  // caller may pass on only some). `exception_left`: a return event of a
  // frame an exception leaves.
  int on_event(PyFrameObject* frame, FrameEvent event, PyObject* arg, bool hooked,
               bool exception_left);

  EngineCore& core() noexcept { return *core_; }

  // Makes `self` (this engine's object, borrowed) the calling thread's
  // profile hook, unless the engine is stopped. GIL held.
  void install(PyObject* self);
  bool stopped() const noexcept { return stopped_.load(std::memory_order_acquire); }
  // Stops recording for good, on every thread: the calling thread's hook is
  // removed now when it is this engine, the other threads' hooks too where
  // the interpreter can do that (3.12 and later, when no thread runs a hook
  // of the program's own), and every other thread removes its own at its
  // next event. Returns the idents (a list of int) of the threads this
  // engine was installed on whose hook the program has replaced since.
  // Throws PyErrSet.
  Ref stop(PyObject* self);
  // The event of a stopped engine: removes `self` from the calling thread's
  // hook when it is there. GIL held.
  static void leave_thread(PyObject* self);

 private:
  VaskProfiler() = default;

  // A thread this engine was installed on. Both fields together name it:
  // the interpreter reuses the memory of a thread state, and the system the
  // ident, of threads that ended.
  struct HookedThread {
    PyThreadState* tstate;
    unsigned long thread_id;
  };
  // Enters the thread; prunes the threads that ended first when the list
  // has grown to prune_at_ (which hooked_'s mutex guards too).
  void note_hooked(Guarded<std::vector<HookedThread>>::Locked& hooked, PyThreadState* tstate);

  // Whether the event's frame is recorded, given the code object's verdict:
  // the generated-code rule, which looks at the callers, is asked only once
  // a frame of attrs' class-generation module has run (or always, when
  // `hooked` is false). Throws PyErrSet.
  bool should_record(PyFrameObject* frame, const CodeVerdict& verdict, std::string_view filename,
                     bool hooked);

  // Returns an exception of the program raised while logging, or null.
  Ref log_error(Ref error, PyFrameObject* frame, FrameEvent event, std::string_view co_filename,
                std::string_view co_name);

  std::optional<EngineCore> core_;
  PerThread<EngineThreadState> thread_state_;
  // Set once by stop(); read first by every event, on every thread.
  std::atomic<bool> stopped_{false};
  // Set once a frame of attrs' class-generation module (attr/_make.py) was
  // seen on a hooked thread: before that, no caller can be one. Never reset.
  std::atomic<bool> attrs_seen_{false};
  // Kept short: entries of threads that ended are pruned as it grows.
  Guarded<std::vector<HookedThread>> hooked_;
  size_t prune_at_ = 64;  // guarded by hooked_'s mutex
};

// register_profiler(profiler): builds the engine from the host's profiler
// object, stores it as profiler.rust_profiler and installs the profile hook
// (and threading.setprofile when config["threading"] is True).
PyObject* register_profiler(PyObject* profiler);

// The profile hook (the interpreter's profile function) of an engine whose
// Python object is `obj`: records call and return events. Never lets a
// recording error through; returns -1 only with an exception of the traced
// program set.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);

// The do-nothing profile hook, for measuring the hook mechanism itself.
int noop_profile(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) noexcept;

}  // namespace vask
