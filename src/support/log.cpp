#include "support/log.hpp"

#include "support/program_errors.hpp"

namespace vask {
namespace {

Ref vask_logger() {
  Ref logging = import("logging");
  Ref get_logger = getattr(logging.get(), "getLogger");
  return call(get_logger.get(), make_str("vask").get());
}

}  // namespace

void log_warning(PyObject* args, PyObject* exc_info) {
  Ref warning = getattr(vask_logger().get(), "warning");
  Ref kwargs = Ref::check(PyDict_New());
  if (PyDict_SetItemString(kwargs.get(), "exc_info", exc_info) < 0) throw_py();
  Ref::check(PyObject_Call(warning.get(), args, kwargs.get()));
}

void log_info(std::string_view message) {
  Ref info = getattr(vask_logger().get(), "info");
  call(info.get(), make_str(message).get());
}

Ref log_failed(Ref error) {
  set_error_from_current_exception();
  Ref failure = fetch_error();
  if (belongs_to_program(failure.get())) return failure;
  if (PyErr_GivenExceptionMatches(failure.get(), PyExc_RecursionError)) return {};
  restore_error(std::move(failure));
  PyErr_WriteUnraisable(nullptr);
  if (error) {
    restore_error(std::move(error));
    PyErr_WriteUnraisable(nullptr);
  }
  return {};
}

}  // namespace vask
