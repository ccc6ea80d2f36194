// Reporting the engines' own failures on the "vask" logger.
#pragma once

#include <utility>

#include "support/py.hpp"

namespace vask {

// logging.getLogger("vask").warning(*args, exc_info=exc_info). Throws PyErrSet.
void log_warning(PyObject* args, PyObject* exc_info);

// Called from a catch block after logging itself failed: the logging failure
// and then `error` (when there is one) go to the unraisable hook.
void log_failed(Ref error) noexcept;

// Logs `error` (an exception object taken with fetch_error(), or null) with
// the positional arguments that make_args() returns (a tuple). Never raises:
// nothing of it reaches the traced program.
template <class MakeArgs>
void log_error(Ref error, MakeArgs&& make_args) noexcept {
  try {
    Ref args = std::forward<MakeArgs>(make_args)();
    log_warning(args.get(), error ? error.get() : Py_True);
  } catch (...) {
    log_failed(std::move(error));
  }
}

}  // namespace vask
