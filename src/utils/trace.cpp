#include "utils/trace.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "utils/msgpack_write.hpp"

namespace vask {
namespace {

// The thread's entry in "threads" up to its records: the key, a map of six
// whose first five entries are its facts, then the key "frames". Read from
// the live object (`thread`, borrowed).
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

// As above, from the object while it lives (its name may have changed since
// it was identified), else from the facts read when it was: a thread whose
// object is gone has finished.
Bytes thread_entry(std::string_view key, const ThreadRef& thread) {
  if (!thread) fault("Failed to get 'name' attribute");
  if (Ref live = thread.live()) return thread_entry(key, live.get());
  const ThreadFacts& facts = thread.facts();
  if (!facts.name) fault("Failed to get 'name' attribute");
  if (!facts.daemon) fault("Failed to get 'daemon' attribute");
  Bytes out;
  mp::write_str(out, key);
  mp::write_map_header(out, 6);
  write_str_pair(out, "name", *facts.name);
  write_int_pair(out, "ident", facts.ident);
  write_int_pair(out, "native_id", facts.native_id);
  write_bool_pair(out, "daemon", *facts.daemon);
  write_bool_pair(out, "is_alive", false);
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
// What a document's end trims, at the least. A smaller rest stays in the free
// lists, where the next trace's records are made: a trim walks every arena of
// the process, and the pages it gives back fault in again as they are reused,
// which cost suites of many small traces a tenth of their time.
constexpr size_t kTrimAtEnd = 8 << 20;

}  // namespace

DocumentFacts collect_document_facts(const TraceParts& parts) {
  const HostFacts& facts = parts.host;
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
    out.threads.push_back({key, thread_entry(key, thread)});
  }
  return out;
}

Ref write_document(const DocumentFacts& facts, const RecordsOf& records, TrimMemory release) {
  return write_document(facts, records, release, nullptr);
}

Ref write_document(const DocumentFacts& facts, const RecordsOf& records, TrimMemory release,
                   Ref* table) {
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

  // The records' table, made before any record is released; filled as they are copied.
  char* table_at = nullptr;
  if (table != nullptr) {
    *table = Ref();
    size_t records_in_all = 0;
    bool fits = true;
    for (const std::span<Bytes>& list : lists) {
      records_in_all += list.size();
      for (const Bytes& record : list) fits = fits && record.size() <= UINT32_MAX;
    }
    if (fits) {
      const size_t table_size = 8 + 16 * lists.size() + 4 * records_in_all;
      *table = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(table_size)));
      table_at = PyBytes_AS_STRING(table->get());
      const int64_t threads = static_cast<int64_t>(lists.size());
      std::memcpy(table_at, &threads, 8);
      table_at += 8 + 16 * lists.size();  // the threads' entries are written as they come
    }
  }

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
    if (table_at != nullptr) {
      const std::array<int64_t, 2> entry{
          static_cast<int64_t>(out - PyBytes_AS_STRING(document.get())),
          static_cast<int64_t>(lists[i].size())};
      std::memcpy(PyBytes_AS_STRING(table->get()) + 8 + 16 * i, entry.data(), 16);
    }
    for (Bytes& record : lists[i]) {
      if (table_at != nullptr) {
        const auto length = static_cast<uint32_t>(record.size());
        std::memcpy(table_at, &length, 4);
        table_at += 4;
      }
      put(record);
      if (release != nullptr) {
        released += record.capacity();
        Bytes().swap(record);
        if (released >= kTrimEvery) {
          release();
          released = 0;
        }
      }
    }
  }
  put(tail);
  if (release != nullptr && released >= kTrimAtEnd) release();
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
  return write_document(facts, records_in(frames), nullptr);
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

namespace {

// The "frame_id" and "timestamp" of a frame record, reading no value of it;
// what is not there (or not a str, a float) is absent.
void call_facts(std::string_view record, std::optional<std::string_view>& frame_id,
                std::optional<double>& started) {
  Cursor c{record};
  const std::optional<uint64_t> entries = c.map_header();
  if (!entries) return;
  for (uint64_t i = 0; i < *entries; ++i) {
    const std::optional<std::string_view> key = c.str();
    if (!key) return;
    const std::optional<std::string_view> value = c.object();
    if (!value) return;
    if (*key == "frame_id") {
      Cursor v{*value};
      if (const std::optional<std::string_view> text = v.str(); text && v.pos == value->size()) {
        frame_id = *text;
      }
    } else if (*key == "timestamp" && !value->empty()) {
      const auto m = static_cast<unsigned char>((*value)[0]);
      Cursor v{*value, 1};
      if (m == 0xcb && value->size() == 9) {
        const uint64_t bits = *v.be(8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        started = d;
      } else if (m == 0xca && value->size() == 5) {
        const auto bits = static_cast<uint32_t>(*v.be(4));
        float f;
        std::memcpy(&f, &bits, sizeof f);
        started = static_cast<double>(f);
      }
    }
  }
}

}  // namespace

Ref write_trace_point_document(const TracePointParts& parts) {
  std::optional<std::string_view> frame_id;
  std::optional<double> started;
  if (!parts.records.empty()) call_facts(parts.records.front(), frame_id, started);
  const HostFacts& facts = parts.host;

  Bytes out;
  mp::write_map_header(out, 11);
  write_str_pair(out, "trace_id", parts.trace_id);
  write_str_pair(out, "trace_name", parts.co_name);
  write_str_pair(out, "current_thread_id", parts.thread_id);
  write_f64_pair(out, started ? *started : parts.handed_at);
  write_str_pair(out, "current_commit_sha", facts.commit_sha);
  write_str_pair(out, "root_trace_id", parts.root_trace_id);

  mp::write_str(out, "meta");
  mp::write_map_header(out, 5);
  write_str_pair(out, "version", facts.version);
  write_str_pair(out, "source", parts.source);
  mp::write_str(out, "trace_point");
  mp::write_map_header(out, 3);
  write_str_pair(out, "co_name", parts.co_name);
  write_str_pair(out, "thread", parts.thread_id);
  write_str_pair(out, "frame_id", frame_id);
  mp::write_str(out, "environment");
  mp::write_map_header(out, static_cast<uint32_t>(facts.environment.size()));
  for (const auto& [key, value] : facts.environment) write_str_pair(out, key, value);
  mp::write_str(out, "config");
  mp::write_map_header(out, mp::checked_count(facts.config.size()));
  for (const auto& [key, value] : facts.config) {
    mp::write_str(out, key);
    write_value(out, value);
  }

  mp::write_str(out, "command_line_args");
  mp::write_array_header(out, mp::checked_count(facts.argv.size()));
  for (const std::string& arg : facts.argv) mp::write_str(out, arg);

  mp::write_str(out, "threads");
  mp::write_map_header(out, 1);
  out += thread_entry(parts.thread_id, parts.thread);
  mp::write_array_header(out, mp::checked_count(parts.records.size()));
  for (std::string_view record : parts.records) out += record;
  out += document_tail();
  return Ref::check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace vask
