// The profile-hook engine: VaskProfiler.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine_core.hpp"
#include "filters.hpp"
#include "plugins.hpp"
#include "support/gil_mutex.hpp"
#include "support/per_thread.hpp"
#include "support/py.hpp"
#include "utils/ids.hpp"
#include "utils/serialize.hpp"

namespace vask {

class VaskProfiler {
 public:
  // Builds the engine from the host's profiler object. Throws PyErrSet; on
  // failure nothing is left behind.
  static std::unique_ptr<VaskProfiler> new_from_python(PyObject* profiler);

  // One call or return event (the profile callback's body). Never throws:
  // recording errors are logged on the "vask" logger.
  // Returns 0, or -1 with an exception of the traced program set when one
  // arose while recording (see EventErrors).
  int on_event(PyFrameObject* frame, FrameEvent event, PyObject* arg) noexcept;

  EngineCore& core() noexcept { return *core_; }

 private:
  VaskProfiler() = default;

  // Returns an exception of the program raised while logging, or null.
  Ref log_error(Ref error, PyFrameObject* frame, FrameEvent event, std::string_view co_filename,
                std::string_view co_name) noexcept;

  // Fixed after construction.
  Finders include_frames_;
  Finders ignore_frames_;
  Ref current_thread_;
  std::optional<RecordMaker> records_;

  std::optional<EngineCore> core_;
  PerThread<EngineThreadState> thread_state_;
};

// register_profiler(profiler): builds the engine from the host's profiler
// object, stores it as profiler.rust_profiler and installs the profile hook
// (and threading.setprofile when config["threading"] is True).
PyObject* register_profiler(PyObject* profiler);

// The do-nothing profile hook, for measuring the hook mechanism itself.
int noop_profile(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) noexcept;

}  // namespace vask
