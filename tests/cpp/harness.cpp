#include "harness.hpp"

namespace vask::test {

Ref run_python(const std::string& source) {
  Ref ns = Ref::check(PyDict_New());
  if (PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0) throw_py();
  if (PyDict_SetItemString(ns.get(), "__name__",
                           Ref::check(PyUnicode_FromString("testmod")).get()) < 0) {
    throw_py();
  }
  Ref result = Ref::steal(PyRun_String(source.c_str(), Py_file_input, ns.get(), ns.get()));
  if (!result) {
    PyErr_Print();
    ADD_FAILURE() << "Python source failed:\n" << source;
    return {};
  }
  return ns;
}

Ref get(const Ref& ns, const char* name) {
  if (!ns) return {};
  return Ref::incref(PyDict_GetItemString(ns.get(), name));
}

void expect_no_python_error() {
  if (PyErr_Occurred()) {
    PyErr_Print();
    ADD_FAILURE() << "unexpected Python error";
  }
}

std::string take_error_type() {
  Ref exc = fetch_error();
  if (!exc) return "";
  return Py_TYPE(exc.get())->tp_name;
}

std::string take_error_message() {
  Ref exc = fetch_error();
  if (!exc) return "";
  return to_str(exc.get());
}

}  // namespace vask::test

// The interpreter lives for the whole test run; the GIL stays with the main
// thread. The Python-side package is importable from the source tree.
class PythonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Py_InitializeEx(0);
    vask::init_interned();
    PyRun_SimpleString("import sys; sys.path.insert(0, '" VASK_SOURCE_DIR "/python')");
  }
  void TearDown() override {
    // Finalising would run destructors of objects that static test fixtures
    // may still reference; the process ends right after.
  }
};

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new PythonEnvironment);
  return RUN_ALL_TESTS();
}
