// Subtree flushing, shared by both engines: a thread whose buffered records
// reach the threshold has finished runs of calls cut out, stored as traces of
// their own and replaced by one marker record each.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "support/gil_mutex.hpp"
#include "support/py.hpp"
#include "trace_buffer.hpp"
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
// older epoch of the buffers is reset before use.
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

// Whether a batch opened or closed a function, for the subtree accounting:
// Call and Return when it holds the function's own "frame" record of an
// opening or closing event, None otherwise (plugin records alone, or the part
// of a batch up to a test's end), which is a closed run by itself.
enum class BatchFrameEvent : uint8_t { None, Call, Return };

// How many candidates one flush cuts.
enum class FlushPolicy : uint8_t {
  // The largest one per check (the profile-hook engine).
  OneCandidatePerCheck,
  // The largest ones in turn until the thread's bytes are down to half the
  // threshold, or no candidate is left (the monitoring engine).
  DownToHalfThreshold,
};

// Told about each cut once its marker stands in for the thread's records
// [start, end), with the trace lock still held.
class CutHook {
 public:
  virtual void after_cut(const TraceLock& trace, const std::string& thread_id, uint64_t start,
                         uint64_t end) = 0;

 protected:
  ~CutHook() = default;
};

// The subtree flusher of one engine, over that engine's trace buffer.
class SubtreeFlusher {
 public:
  // hook may be null; it must outlive the flusher.
  SubtreeFlusher(TraceBuffer& buffer, std::optional<uint64_t> flush_subtree_bytes,
                 FlushPolicy policy, CutHook* hook);
  SubtreeFlusher(const SubtreeFlusher&) = delete;
  SubtreeFlusher& operator=(const SubtreeFlusher&) = delete;

  std::optional<uint64_t> flush_subtree_bytes() const noexcept { return flush_subtree_bytes_; }
  uint64_t flush_trigger_bytes() const noexcept { return flush_trigger_bytes_; }
  bool enabled() const noexcept { return flush_subtree_bytes_.has_value(); }

  // Counts records [old_length, end of list) just appended to the thread's
  // list, under the same hold of the buffers' mutex, and keeps the thread's
  // open subtrees. Returns whether the thread's bytes reached the threshold,
  // so that maybe_flush_segments_with_current_bytes() is due. Call only when
  // enabled().
  bool account(BuffersLock& buffers, FlushThreadState& state, const std::string& thread_id,
               uint64_t old_length, BatchFrameEvent frame_event);

  // Cuts closed runs out of the thread's records per the policy. The
  // buffers' mutex is not held by the caller. `suspended` is the thread's
  // flag that keeps its events unrecorded while a store runs on it. When a
  // store fails, the records are back in place, no further flush of this
  // thread is tried in this epoch, and PyErrSet is thrown.
  void maybe_flush_segments_with_current_bytes(FlushThreadState& state, bool& suspended,
                                               const std::string& thread_id);

 private:
  // The open subtrees, valid for the buffers' epoch they were noted in.
  struct Tracked {
    uint64_t epoch = 0;
    OpenSubtrees stacks;
  };

  // Cuts the thread's largest candidate; false when there is none to cut.
  bool cut_largest(FlushThreadState& state, bool& suspended, const std::string& thread_id);

  TraceBuffer& buffer_;
  const std::optional<uint64_t> flush_subtree_bytes_;
  const uint64_t flush_trigger_bytes_;
  const FlushPolicy policy_;
  CutHook* const hook_;
  // Taken alone, or inside the buffers' mutex; never the other way round.
  Guarded<Tracked> open_subtrees_;
  Guarded<std::unordered_set<std::string>> flushing_threads_;
};

}  // namespace vask
