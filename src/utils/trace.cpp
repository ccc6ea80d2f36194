#include "utils/trace.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "config.hpp"
#include "dump/redaction_py.hpp"
#include "utils/msgpack_write.hpp"

namespace vask {
namespace {

// Everything the document needs from the host, read before the first byte is
// written and copied out, so that Python code run later (a thread's name
// property, say) cannot change what was collected.
// The process that recorded the trace, and the traced process that started
// it (when one did).
struct ProcessFacts {
  uint64_t pid = 0;
  std::optional<uint64_t> parent_pid;
  std::optional<std::string> parent_trace_id;
  std::optional<std::string> name;
};

struct HostFacts {
  std::string version;
  std::optional<std::string> commit_sha;
  std::vector<std::string> argv;
  std::array<std::pair<std::string_view, std::string>, 6> environment;
  MpMap config;
  ProcessFacts process;
};

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

HostFacts collect_host_facts(const Config& config, bool use_monitoring) {
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
  facts.config = config.to_dict();
  // The engine's own facts win over same-named configuration keys.
  std::erase_if(facts.config, [](const auto& entry) {
    return entry.first == "use_monitoring" || entry.first == "use_rust";
  });
  facts.config.emplace_back("use_monitoring", MpValue{use_monitoring});
  facts.config.emplace_back("use_rust", MpValue{true});
  return facts;
}

// ident and native_id: nil for anything but a non-negative int. A failing
// read is part of that rule, so its error is discarded.
std::optional<uint64_t> optional_thread_number(PyObject* thread, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(thread, name));
  if (!value) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyLong_Check(value.get())) return std::nullopt;
  const unsigned long long n = PyLong_AsUnsignedLongLong(value.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<uint64_t>(n);
}

// Where a thread's records go in the document: `records` follow the first
// `offset` bytes written. They are copied once, into the final bytes object.
struct RecordsAt {
  size_t offset;
  const RecordList* records;
};

void write_thread(Bytes& out, PyObject* thread, const RecordList* frames,
                  std::vector<RecordsAt>& spliced) {
  const Interned& names = interned();
  if (thread == nullptr) fault("Failed to get 'name' attribute");
  mp::write_map_header(out, 6);

  Ref name = Ref::steal(PyObject_GetAttr(thread, names.name));
  if (!name) fault("Failed to get 'name' attribute");
  if (!PyUnicode_Check(name.get())) fault("Failed to extract 'name' as String");
  const Utf8Text name_text = utf8_text(name.get());
  write_str_pair(out, "name", name_text.text());

  write_int_pair(out, "ident", optional_thread_number(thread, names.ident));
  write_int_pair(out, "native_id", optional_thread_number(thread, names.native_id));

  Ref daemon = Ref::steal(PyObject_GetAttr(thread, names.daemon));
  if (!daemon) fault("Failed to get 'daemon' attribute");
  if (!PyBool_Check(daemon.get())) fault("Failed to extract 'daemon' as bool");
  write_bool_pair(out, "daemon", daemon.get() == Py_True);

  Ref alive = Ref::steal(PyObject_CallMethodNoArgs(thread, names.is_alive));
  if (!alive) fault("Failed to call 'is_alive' method");
  if (!PyBool_Check(alive.get())) fault("Failed to extract 'is_alive' as bool");
  write_bool_pair(out, "is_alive", alive.get() == Py_True);

  mp::write_str(out, "frames");
  if (frames != nullptr) {
    mp::write_array_header(out, mp::checked_count(frames->size()));
    spliced.push_back(RecordsAt{out.size(), frames});
  } else {
    mp::write_array_header(out, 0);
  }
}

}  // namespace

Ref build_trace_from_parts(const TraceParts& parts) {
  const HostFacts facts = collect_host_facts(parts.config, parts.use_monitoring);

  // Everything but the records, which are spliced in at the end: the
  // document is most often almost all records, copied once that way.
  Bytes out;
  out.reserve(4096);
  std::vector<RecordsAt> spliced;

  mp::write_map_header(out, 11);
  write_str_pair(out, "trace_id", parts.trace_id);
  write_str_pair(out, "trace_name", parts.trace_name);
  write_str_pair(out, "current_thread_id", parts.current_thread_id);
  write_f64_pair(out, parts.timestamp);
  write_str_pair(out, "current_commit_sha", facts.commit_sha);
  write_str_pair(out, "root_trace_id", parts.root_trace_id);

  mp::write_str(out, "meta");
  mp::write_map_header(out, 5);
  write_str_pair(out, "version", facts.version);
  write_str_pair(out, "source", parts.source);
  mp::write_str(out, "environment");
  mp::write_map_header(out, static_cast<uint32_t>(facts.environment.size()));
  for (const auto& [key, value] : facts.environment) write_str_pair(out, key, value);
  mp::write_str(out, "config");
  mp::write_map_header(out, mp::checked_count(facts.config.size()));
  for (const auto& [key, value] : facts.config) {
    mp::write_str(out, key);
    write_value(out, value);
  }
  mp::write_str(out, "process");
  mp::write_map_header(out, 4);
  write_int_pair(out, "pid", facts.process.pid);
  write_int_pair(out, "parent_pid", facts.process.parent_pid);
  write_str_pair(out, "parent_trace_id", facts.process.parent_trace_id);
  write_str_pair(out, "name", facts.process.name);

  mp::write_str(out, "command_line_args");
  mp::write_array_header(out, mp::checked_count(facts.argv.size()));
  for (const std::string& arg : facts.argv) mp::write_str(out, arg);

  mp::write_str(out, "threads");
  mp::write_map_header(out, mp::checked_count(parts.threads.size()));
  for (const auto& [key, thread] : parts.threads) {
    mp::write_str(out, key);
    const auto frames = parts.frames_by_thread.find(key);
    write_thread(out, thread.get(),
                 frames == parts.frames_by_thread.end() ? nullptr : &frames->second, spliced);
  }

  mp::write_str(out, "frames_of_interest");
  mp::write_array_header(out, 0);
  mp::write_str(out, "frames");
  mp::write_map_header(out, 0);

  size_t record_bytes = 0;
  for (const RecordsAt& at : spliced) {
    for (const Bytes& record : *at.records) record_bytes += record.size();
  }
  Ref document = Ref::check(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(out.size() + record_bytes)));
  char* to = PyBytes_AS_STRING(document.get());
  size_t from = 0;
  auto copy = [&](const char* data, size_t size) {
    if (size != 0) std::memcpy(to, data, size);
    to += size;
  };
  for (const RecordsAt& at : spliced) {
    copy(out.data() + from, at.offset - from);
    from = at.offset;
    for (const Bytes& record : *at.records) copy(record.data(), record.size());
  }
  copy(out.data() + from, out.size() - from);
  return document;
}

}  // namespace vask
