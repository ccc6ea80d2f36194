#include "core/host_facts.hpp"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "dump/redaction_py.hpp"

namespace vask {
namespace {

std::string attr_str(PyObject* obj, const char* name) {
  Ref value = getattr(obj, name);
  return str_text(value.get());
}

std::string call_str(PyObject* module, const char* function) {
  Ref fn = getattr(module, function);
  Ref value = call(fn.get());
  return str_text(value.get());
}

// An entry of the host's process facts: a value of another type than the one
// asked for is absent.
PyObject* fact(PyObject* facts, const char* key) {
  PyObject* value = PyDict_GetItemString(facts, key);  // borrowed; never raises
  return value == Py_None ? nullptr : value;
}

// vask.profiler.process_facts(): a dict with "parent_pid", "parent_trace_id"
// and "name"; the pid is the process's own.
ProcessFacts collect_process_facts() {
  ProcessFacts process;
  process.pid = static_cast<uint64_t>(::getpid());
  Ref profiler = import("vask.profiler");
  Ref fn = getattr(profiler.get(), "process_facts");
  Ref facts = call(fn.get());
  if (!PyDict_Check(facts.get())) {
    PyErr_Format(PyExc_TypeError, "vask.profiler.process_facts() must return a dict, not '%.200s'",
                 Py_TYPE(facts.get())->tp_name);
    throw_py();
  }
  if (PyObject* pid = fact(facts.get(), "parent_pid"); pid != nullptr && PyLong_Check(pid)) {
    const unsigned long long n = PyLong_AsUnsignedLongLong(pid);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();  // not a pid: absent
    } else {
      process.parent_pid = static_cast<uint64_t>(n);
    }
  }
  // The texts are copied out: nothing of the dict is used once it is dropped.
  for (auto [key, slot] :
       {std::pair{"parent_trace_id", &process.parent_trace_id}, std::pair{"name", &process.name}}) {
    if (PyObject* text = fact(facts.get(), key)) {
      if (auto view = try_str_view(text)) *slot = std::string(*view);
    }
  }
  return process;
}

// The redaction the engine's configuration asks for (the keys `redact` and
// `redact_extra`, as the value dumpers were configured from them). A value
// that cannot be read gives the defaults: a trace never hides less than that
// because its configuration was broken.
Redaction command_line_redaction(const Config& config) {
  try {
    const auto names =
        redaction_names_from_config(config.find("redact"), config.find("redact_extra"));
    return names ? Redaction(*names) : Redaction();
  } catch (const PyErrSet&) {
    PyErr_Clear();
  }
  const auto defaults = default_redact_names();
  return Redaction(std::vector<std::string>(defaults.begin(), defaults.end()));
}

}  // namespace

HostFacts collect_host_facts(const Config& config, bool use_monitoring, bool warn) {
  HostFacts facts;
  {
    Ref version = import("vask.version");
    facts.version = attr_str(version.get(), "__version__");
  }
  {
    Ref git = import("vask.git");
    Ref sha = getattr(git.get(), "COMMIT_SHA");
    if (sha.get() != Py_None) facts.commit_sha = str_text(sha.get());
  }
  Ref sys = import("sys");
  {
    Ref argv = getattr(sys.get(), "argv");
    if (!PyList_Check(argv.get())) {
      PyErr_Format(PyExc_TypeError, "sys.argv must be a list, not '%.200s'",
                   Py_TYPE(argv.get())->tp_name);
      throw_py();
    }
    const Py_ssize_t n = PyList_GET_SIZE(argv.get());
    facts.argv.reserve(static_cast<size_t>(n));
    // str_text runs no Python code, so the list cannot change under the loop.
    for (Py_ssize_t i = 0; i < n; ++i) {
      facts.argv.push_back(str_text(PyList_GET_ITEM(argv.get(), i)));
    }
    facts.argv = redact_command_line(facts.argv, command_line_redaction(config));
  }
  // collect_environment
  Ref platform = import("platform");
  facts.environment = {{
      {"py_version", call_str(platform.get(), "python_version")},
      {"py_version_full", attr_str(sys.get(), "version")},
      {"platform", call_str(platform.get(), "platform")},
      {"system", call_str(platform.get(), "system")},
      {"machine", call_str(platform.get(), "machine")},
      {"processor", call_str(platform.get(), "processor")},
  }};
  facts.process = collect_process_facts();
  facts.config = config.to_dict(warn);
  // The engine's own facts win over same-named configuration keys.
  std::erase_if(facts.config, [](const auto& entry) {
    return entry.first == "use_monitoring" || entry.first == "use_rust";
  });
  facts.config.emplace_back("use_monitoring", MpValue{use_monitoring});
  facts.config.emplace_back("use_rust", MpValue{true});
  return facts;
}

}  // namespace vask
