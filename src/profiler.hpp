// The profile-hook engine: VaskProfiler.
#pragma once

#include "support/py.hpp"

namespace vask {

// register_profiler(profiler): builds the engine from the host's profiler
// object, stores it as profiler.rust_profiler and installs the profile hook
// (and threading.setprofile when config["threading"] is True).
PyObject* register_profiler(PyObject* profiler);

// The do-nothing profile hook, for measuring the hook mechanism itself.
int noop_profile(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) noexcept;

}  // namespace vask
