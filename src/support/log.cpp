#include "support/log.hpp"

namespace vask {

void log_warning(PyObject* args, PyObject* exc_info) {
  Ref logging = import("logging");
  Ref get_logger = getattr(logging.get(), "getLogger");
  Ref logger = call(get_logger.get(), make_str("vask").get());
  Ref warning = getattr(logger.get(), "warning");
  Ref kwargs = Ref::check(PyDict_New());
  if (PyDict_SetItemString(kwargs.get(), "exc_info", exc_info) < 0) throw_py();
  Ref::check(PyObject_Call(warning.get(), args, kwargs.get()));
}

void log_failed(Ref error) noexcept {
  set_error_from_current_exception();
  PyErr_WriteUnraisable(nullptr);
  if (error) {
    restore_error(std::move(error));
    PyErr_WriteUnraisable(nullptr);
  }
}

}  // namespace vask
