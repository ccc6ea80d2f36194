// The trace document: one MessagePack map per stored trace.
//
// A document is made in two steps. Collecting reads everything it holds
// besides the records from the host (Python code runs; the GIL is held).
// Writing then copies the records once, straight into the bytes object that
// is handed to Python, and runs no Python code, so that it may run while the
// buffers' mutex is held.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/py.hpp"
#include "utils/msgpack_write.hpp"
#include "utils/records.hpp"

namespace vask {

// Everything a document holds about the run besides its records and
// threads, read from the host before the first byte is written and copied
// out, so that Python code run later cannot change what was collected.
// `config` is the stored configuration, the engine's own entries included.
struct HostFacts {
  std::string version;
  std::optional<std::string> commit_sha;
  std::vector<std::string> argv;  // already redacted
  std::array<std::pair<std::string_view, std::string>, 6> environment;
  MpMap config;
};

struct TraceParts {
  const FramesByThread& frames_by_thread;
  const ThreadMap& threads;
  std::string_view trace_id;
  const std::optional<std::string>& trace_name;
  std::string_view source;
  std::string_view current_thread_id;
  const HostFacts& host;
  std::string_view root_trace_id;
  double timestamp;
};

// What a document holds besides its records: the encoded head (every entry
// before "threads") and each thread's entry up to its records, in the order
// the threads are written.
struct DocumentFacts {
  Bytes head;
  struct Thread {
    std::string key;
    Bytes entry;  // the key, the thread's map with its five facts, "frames"
  };
  std::vector<Thread> threads;
};

// Writes the head from parts.host and reads the facts of every thread of
// parts.threads (parts.frames_by_thread is not read). A thread whose
// required attributes cannot be read is an internal fault.
DocumentFacts collect_document_facts(const TraceParts& parts);

// The records of one thread, by its key (empty when it has none).
using RecordsOf = std::function<std::span<Bytes>(std::string_view thread_key)>;
// The records of `frames`, which must outlive the function.
RecordsOf records_in(FramesByThread& frames);

// Gives freed memory back to the system; called now and then while records
// are released.
using TrimMemory = void (*)() noexcept;

// Writes the document into one new bytes object of the exact size. With
// `release` (not null), every record's memory is given back as soon as it
// is copied, so that a large trace is never held twice, and `release` is
// called after every 64 MiB of it, and at the end when 8 MiB or more were
// copied since. Throws PyErrSet
// (MemoryError) before any record is touched; runs no Python code.
Ref write_document(const DocumentFacts& facts, const RecordsOf& records, TrimMemory release);

// As above, and with `table` (not null) set to the records' table of the
// document: where each thread's records lie, so that a reader can index the
// document without measuring its records again (the calls index is built
// from it as the document is stored). It is a bytes object in native byte
// order, used in this process only and never stored:
//   int64 thread count T;
//   per thread, in document order: int64 position of its first record,
//   int64 number of records;
//   then every record's length as uint32, thread after thread.
// `table` is left null when a record is 4 GiB or longer.
Ref write_document(const DocumentFacts& facts, const RecordsOf& records, TrimMemory release,
                   Ref* table);

// A trace point: one completed call of a target function, stored as a trace
// of its own while the program runs, linked to the trace it fired in.
struct TracePointParts {
  std::string_view trace_id;       // the trace point's own
  std::string_view root_trace_id;  // the trace it fired in
  std::string_view co_name;        // the target; also the trace's name
  std::string_view thread_id;      // the thread's identity (its key)
  PyObject* thread;                // the thread object, borrowed
  std::string_view source;
  // The call's records, from its call record to its return record.
  std::span<const std::string_view> records;
  double handed_at;  // the trace's time when the first record has none
  const HostFacts& host;
};

// The trace point's document: an ordinary document of one thread whose
// "meta" also holds "trace_point" (the target's co_name, the thread and the
// call record's frame_id), timed by its call record.
// Reads the thread object (an internal fault when its required attributes
// cannot be read) and runs no other Python code. Throws PyErrSet.
Ref write_trace_point_document(const TracePointParts& parts);

// Collects and writes in one go, the records left in place.
Ref build_trace_from_parts(const TraceParts& parts);

// The records of each thread of a document made by write_document (the
// inverse of writing it), or nullopt when `document` is not such a document.
std::optional<FramesByThread> document_records(std::string_view document);

}  // namespace vask
