#include "core/host_facts.hpp"

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
