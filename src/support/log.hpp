// Reporting the engines' own failures on the "vask" logger.
#pragma once

#include <utility>

#include "support/py.hpp"

namespace vask {

// logging.getLogger("vask").warning(*args, exc_info=exc_info). Throws PyErrSet.
void log_warning(PyObject* args, PyObject* exc_info);
// logging.getLogger("vask").info(message). Throws PyErrSet.
void log_info(std::string_view message);

// Called from a catch block after logging itself failed. The logging
// failure and then `error` (when there is one) go to the unraisable hook;
// but a failure that belongs to the traced program (a signal handler's
// exception raised inside the logging code, see belongs_to_program) is
// returned instead, to be raised in the program, and one that comes from
// the recursion limit is dropped: the program is at its limit and prints
// what it chooses.
Ref log_failed(Ref error);

// Logs `error` (an exception object taken with fetch_error(), or null) with
// the positional arguments that make_args() returns (a tuple). Never raises
// (but for a forced unwind): returns the exception that belongs to the
// traced program when one arose while logging (null otherwise), for the
// caller to raise in the program.
template <class MakeArgs>
Ref log_error(Ref error, MakeArgs&& make_args) {
  try {
    Ref args = std::forward<MakeArgs>(make_args)();
    log_warning(args.get(), error ? error.get() : Py_True);
    return {};
  } catch (...) {
    return log_failed(std::move(error));
  }
}

}  // namespace vask
