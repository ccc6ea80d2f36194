// The trace document: one MessagePack map per stored trace.
//
// A document is made in two steps. Collecting reads everything it holds
// besides the records from the host (Python code runs; the GIL is held).
// Writing then copies the records once, straight into the bytes object that
// is handed to Python, and runs no Python code, so that it may run while the
// buffers' mutex is held.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/py.hpp"
#include "utils/records.hpp"

namespace vask {

class Config;

struct TraceParts {
  const FramesByThread& frames_by_thread;
  const ThreadMap& threads;
  std::string_view trace_id;
  const std::optional<std::string>& trace_name;
  std::string_view source;
  std::string_view current_thread_id;
  const Config& config;
  bool use_monitoring;
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

// Reads the host metadata and the facts of every thread of parts.threads
// (parts.frames_by_thread is not read). Throws PyErrSet for the metadata;
// a thread whose required attributes cannot be read is an internal fault.
DocumentFacts collect_document_facts(const TraceParts& parts);

// The records of one thread, by its key (empty when it has none).
using RecordsOf = std::function<std::span<Bytes>(std::string_view thread_key)>;
// The records of `frames`, which must outlive the function.
RecordsOf records_in(FramesByThread& frames);

// Writes the document into one new bytes object of the exact size. With
// `release`, every record's memory is given back as soon as it is copied,
// so that a large trace is never held twice. Throws PyErrSet (MemoryError)
// before any record is touched; runs no Python code.
Ref write_document(const DocumentFacts& facts, const RecordsOf& records, bool release);

// Collects and writes in one go, the records left in place.
Ref build_trace_from_parts(const TraceParts& parts);

// The records of each thread of a document made by write_document (the
// inverse of writing it), or nullopt when `document` is not such a document.
std::optional<FramesByThread> document_records(std::string_view document);

}  // namespace vask
