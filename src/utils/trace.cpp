#include "utils/trace.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "config.hpp"
#include "dump/redaction_py.hpp"
#include "memory_budget.hpp"
#include "utils/msgpack_write.hpp"

namespace vask {
namespace {

// Everything the document needs from the host, read before the first byte is
// written and copied out, so that Python code run later (a thread's name
// property, say) cannot change what was collected.
struct HostFacts {
  std::string version;
  std::optional<std::string> commit_sha;
  std::vector<std::string> argv;
  std::array<std::pair<std::string_view, std::string>, 6> environment;
  MpMap config;
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

// The thread's entry in "threads" up to its records: the key, a map of six
// whose first five entries are its facts, then the key "frames".
Bytes thread_entry(std::string_view key, PyObject* thread) {
  const Interned& names = interned();
  if (thread == nullptr) fault("Failed to get 'name' attribute");
  Bytes out;
  mp::write_str(out, key);
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
  return out;
}

// The entries after "threads", always the same.
Bytes document_tail() {
  Bytes out;
  mp::write_str(out, "frames_of_interest");
  mp::write_array_header(out, 0);
  mp::write_str(out, "frames");
  mp::write_map_header(out, 0);
  return out;
}

// Freed records go back to the allocator's free lists, which keep them from
// the system: without a trim now and then, a trace copied into its document
// would still count twice in the process's memory.
constexpr size_t kTrimEvery = 64 << 20;

}  // namespace

DocumentFacts collect_document_facts(const TraceParts& parts) {
  const HostFacts facts = collect_host_facts(parts.config, parts.use_monitoring);
  DocumentFacts out;
  Bytes& head = out.head;
  mp::write_map_header(head, 11);
  write_str_pair(head, "trace_id", parts.trace_id);
  write_str_pair(head, "trace_name", parts.trace_name);
  write_str_pair(head, "current_thread_id", parts.current_thread_id);
  write_f64_pair(head, parts.timestamp);
  write_str_pair(head, "current_commit_sha", facts.commit_sha);
  write_str_pair(head, "root_trace_id", parts.root_trace_id);

  mp::write_str(head, "meta");
  mp::write_map_header(head, 4);
  write_str_pair(head, "version", facts.version);
  write_str_pair(head, "source", parts.source);
  mp::write_str(head, "environment");
  mp::write_map_header(head, static_cast<uint32_t>(facts.environment.size()));
  for (const auto& [key, value] : facts.environment) write_str_pair(head, key, value);
  mp::write_str(head, "config");
  mp::write_map_header(head, mp::checked_count(facts.config.size()));
  for (const auto& [key, value] : facts.config) {
    mp::write_str(head, key);
    write_value(head, value);
  }
  mp::write_str(head, "command_line_args");
  mp::write_array_header(head, mp::checked_count(facts.argv.size()));
  for (const std::string& arg : facts.argv) mp::write_str(head, arg);

  mp::write_str(head, "threads");
  mp::write_map_header(head, mp::checked_count(parts.threads.size()));
  out.threads.reserve(parts.threads.size());
  for (const auto& [key, thread] : parts.threads) {
    out.threads.push_back({key, thread_entry(key, thread.get())});
  }
  return out;
}

Ref write_document(const DocumentFacts& facts, const RecordsOf& records, bool release) {
  const Bytes tail = document_tail();
  std::vector<std::span<Bytes>> lists;
  lists.reserve(facts.threads.size());
  Bytes counts;  // the array header of each thread's records, one after the other
  std::vector<size_t> count_sizes;
  size_t total = facts.head.size() + tail.size();
  for (const DocumentFacts::Thread& thread : facts.threads) {
    std::span<Bytes> list = records(thread.key);
    const size_t before = counts.size();
    mp::write_array_header(counts, mp::checked_count(list.size()));
    count_sizes.push_back(counts.size() - before);
    total += thread.entry.size() + count_sizes.back();
    for (const Bytes& record : list) total += record.size();
    lists.push_back(list);
  }
  if (total > static_cast<size_t>(PY_SSIZE_T_MAX)) fault("trace document too large");

  // Allocating a bytes object runs no Python code (bytes are not tracked by
  // the garbage collector), so this is safe under the buffers' mutex.
  Ref document = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  char* out = PyBytes_AS_STRING(document.get());
  auto put = [&out](std::string_view part) {
    std::memcpy(out, part.data(), part.size());
    out += part.size();
  };
  put(facts.head);
  size_t count_at = 0;
  size_t released = 0;
  for (size_t i = 0; i < facts.threads.size(); ++i) {
    put(facts.threads[i].entry);
    put(std::string_view(counts).substr(count_at, count_sizes[i]));
    count_at += count_sizes[i];
    for (Bytes& record : lists[i]) {
      put(record);
      if (release) {
        released += record.capacity();
        Bytes().swap(record);
        if (released >= kTrimEvery) {
          return_free_memory();
          released = 0;
        }
      }
    }
  }
  put(tail);
  if (release && released > 0) return_free_memory();
  return document;
}

RecordsOf records_in(FramesByThread& frames) {
  return [&frames](std::string_view key) -> std::span<Bytes> {
    auto it = frames.find(key);
    if (it == frames.end()) return {};
    return {it->second.data(), it->second.size()};
  };
}

Ref build_trace_from_parts(const TraceParts& parts) {
  const DocumentFacts facts = collect_document_facts(parts);
  // Only read: write_document changes records only when it releases them.
  auto& frames = const_cast<FramesByThread&>(parts.frames_by_thread);
  return write_document(facts, records_in(frames), false);
}

namespace {

// A cursor over an encoded document, reading the headers write_document
// writes. Every read checks the bounds.
struct Cursor {
  std::string_view data;
  size_t pos = 0;

  std::optional<uint64_t> be(int width) {
    if (data.size() - pos < static_cast<size_t>(width)) return std::nullopt;
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(data[pos + i]);
    pos += static_cast<size_t>(width);
    return v;
  }
  std::optional<uint64_t> container(unsigned char fix_base, unsigned char code16) {
    if (pos >= data.size()) return std::nullopt;
    const auto m = static_cast<unsigned char>(data[pos++]);
    if ((m & 0xf0u) == fix_base) return m & 0x0fu;
    if (m == code16) return be(2);
    if (m == code16 + 1) return be(4);
    return std::nullopt;
  }
  std::optional<uint64_t> map_header() { return container(0x80, 0xde); }
  std::optional<uint64_t> array_header() { return container(0x90, 0xdc); }
  std::optional<std::string_view> str() {
    if (pos >= data.size()) return std::nullopt;
    const auto m = static_cast<unsigned char>(data[pos++]);
    std::optional<uint64_t> n;
    if ((m & 0xe0u) == 0xa0u) {
      n = m & 0x1fu;
    } else if (m == 0xd9) {
      n = be(1);
    } else if (m == 0xda) {
      n = be(2);
    } else if (m == 0xdb) {
      n = be(4);
    }
    if (!n || data.size() - pos < *n) return std::nullopt;
    std::string_view s = data.substr(pos, *n);
    pos += *n;
    return s;
  }
  std::optional<std::string_view> object() {
    const size_t n = mp::object_size(data.substr(pos));
    if (n == mp::npos) return std::nullopt;
    std::string_view s = data.substr(pos, n);
    pos += n;
    return s;
  }
};

}  // namespace

std::optional<FramesByThread> document_records(std::string_view document) {
  Cursor c{document};
  FramesByThread out;
  const std::optional<uint64_t> entries = c.map_header();
  if (!entries) return std::nullopt;
  for (uint64_t i = 0; i < *entries; ++i) {
    const std::optional<std::string_view> key = c.str();
    if (!key) return std::nullopt;
    if (*key != "threads") {
      if (!c.object()) return std::nullopt;
      continue;
    }
    const std::optional<uint64_t> threads = c.map_header();
    if (!threads) return std::nullopt;
    for (uint64_t t = 0; t < *threads; ++t) {
      const std::optional<std::string_view> thread_key = c.str();
      const std::optional<uint64_t> fields = c.map_header();
      if (!thread_key || !fields) return std::nullopt;
      for (uint64_t f = 0; f < *fields; ++f) {
        const std::optional<std::string_view> field = c.str();
        if (!field) return std::nullopt;
        if (*field != "frames") {
          if (!c.object()) return std::nullopt;
          continue;
        }
        const std::optional<uint64_t> count = c.array_header();
        if (!count) return std::nullopt;
        RecordList& list = out[std::string(*thread_key)];
        for (uint64_t r = 0; r < *count; ++r) {
          const std::optional<std::string_view> record = c.object();
          if (!record) return std::nullopt;
          list.emplace_back(*record);
        }
      }
    }
  }
  if (c.pos != document.size()) return std::nullopt;
  return out;
}

}  // namespace vask
