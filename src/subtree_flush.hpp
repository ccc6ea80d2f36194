// Subtree flushing thresholds and state shared by both engines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "support/py.hpp"
#include "utils/records.hpp"

namespace vask {

inline constexpr uint64_t kDefaultFlushSubtreeBytes = 524'288'000;  // 500 MiB
inline constexpr uint64_t kFlushCountInterval = 1024;               // records

// The byte threshold from configuration "flush_subtree_mb": absent gives the
// default, None/False disable (nullopt). Throws PyErrSet (ValueError) with the
// fixed messages for True, non-numbers, negatives, NaN, infinities and values
// whose byte count does not fit 64 bits.
std::optional<uint64_t> resolve_flush_subtree_bytes(PyObject* config);

// threshold - max(threshold / 8, 64 MiB), floored at 0, for thresholds of at
// least 1 MiB; 0 otherwise (every batch counted from the first).
uint64_t flush_trigger_bytes(std::optional<uint64_t> flush_subtree_bytes) noexcept;

// A run of adjacent, already returned calls under one open function: what a
// flush cuts out of a thread's records.
struct FlushCandidate {
  std::string co_name;  // name of the run's first function
  uint64_t start = 0;   // index of its first record in the thread's list
  uint64_t end = 0;     // one past its last record
  uint64_t bytes = 0;   // encoded size of its records
  uint64_t segment_count = 0;
};

// A function that has been called and has not returned yet, as far as
// flushing is concerned. The bottom entry of every stack is "<root>".
struct OpenSubtree {
  std::string co_name;
  std::optional<FlushCandidate> candidate;
  uint64_t start_index = 0;  // index of the function's first record
  uint64_t start_bytes = 0;  // the thread's counted bytes before that record
};

using OpenSubtreeStack = std::vector<OpenSubtree>;
using OpenSubtrees = StringMap<OpenSubtreeStack>;

// Byte accounting of one thread (per thread, per engine). A state from an
// older epoch is reset before use.
struct FlushThreadState {
  uint64_t bytes = 0;
  uint64_t epoch = 0;
  uint64_t counted_index = 0;
  uint64_t next_count = 0;
  bool active = false;
  // A flush of this epoch failed to store (a locked or unwritable database).
  // No further flush is tried until the next epoch: retrying on every event
  // would stall the traced program for the busy timeout each time.
  bool store_failed = false;
};

// The thread's stack, created with its "<root>" entry when missing.
OpenSubtreeStack& stack_for_thread(OpenSubtrees& open_subtrees, std::string_view thread_id);
void push_open_subtree(OpenSubtrees& open_subtrees, std::string_view thread_id,
                       OpenSubtree subtree);
// The top entry, or nothing when only "<root>" (or no stack) is left.
std::optional<OpenSubtree> pop_open_subtree(OpenSubtrees& open_subtrees,
                                            std::string_view thread_id);
void clear_flush_candidate(OpenSubtrees& open_subtrees, std::string_view thread_id,
                           size_t stack_index);
// A closed run [start, end) of `bytes` under the thread's innermost open
// function: extends that function's candidate when the run directly follows
// it, otherwise replaces it. Runs of 0 bytes are not tracked.
void record_closed_segment(OpenSubtrees& open_subtrees, std::string_view thread_id, uint64_t start,
                           uint64_t end, uint64_t bytes, std::string co_name);
// The stack index of the entry whose candidate is largest (the one nearest
// the bottom among equals), if any entry has one.
std::optional<size_t> largest_candidate(const OpenSubtreeStack& stack);
// After records [start, end) were replaced by one marker record of
// marker_bytes: shifts the positions that lie after the range.
void shift_after_flush(OpenSubtreeStack& stack, uint64_t start, uint64_t end,
                       uint64_t flushed_bytes, uint64_t marker_bytes);

// The "subtree_flushed" marker record that stands in for a flushed run.
Bytes write_flush_marker(std::string_view frame_id, std::string_view co_name,
                         std::string_view flushed_trace_id, uint64_t flushed_bytes,
                         uint64_t segment_count, double timestamp);

// The "co_name" of the first "frame" record of records [begin, end), failing
// that the first "co_name" of any of them, failing that "<unknown>".
std::string batch_co_name(const RecordList& records, size_t begin, size_t end);

}  // namespace vask
