// Subtree flushing, shared by both engines: finished runs of calls are cut
// out of a thread's records, stored as traces of their own and replaced by
// one marker record each. Two limits call for it: a thread's own records
// reaching the flush threshold, and the process's buffered records reaching
// its memory budget, which cuts the largest runs of any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/memory_budget.hpp"
#include "core/trace_buffer.hpp"
#include "support/gil_mutex.hpp"
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
// Any such setting in megabytes ("memory_budget_mb", "max_trace_mb"): absent,
// None and False give nullopt; the messages name the key.
std::optional<uint64_t> resolve_megabytes(PyObject* config, const char* key);

// threshold - max(threshold / 8, 64 MiB), floored at 0, for thresholds of at
// least 1 MiB; 0 otherwise (every batch counted from the first).
uint64_t flush_trigger_bytes(std::optional<uint64_t> flush_subtree_bytes) noexcept;

// The smallest run a flush cuts against a limit (the flush threshold or the
// memory budget): a 64th of it. Every cut stores a document of its own, head
// and all, so a smaller run relieves next to nothing and costs a document.
uint64_t min_cut_bytes(uint64_t limit) noexcept;
// How far a thread's records must grow after a round that left it at or
// above its threshold with nothing left to cut, before the next round: an
// eighth of the threshold, 1 byte at least. Until then the records that keep
// it there (its open calls, runs too small to cut) are not cut at again on
// every event.
uint64_t rearm_step_bytes(uint64_t threshold) noexcept;

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

// What only the thread itself notes (per thread, per engine): its byte
// count until its open calls are kept. A state from an older epoch of the
// buffers is reset before use.
struct FlushThreadState {
  uint64_t bytes = 0;
  uint64_t epoch = 0;
  uint64_t counted_index = 0;
  uint64_t next_count = 0;
  // Set once the thread's open calls are kept: from then on its byte count
  // is the shared one, which a cut by any thread lowers.
  bool active = false;
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
// the bottom among equals), if any entry has one of at least min_bytes.
std::optional<size_t> largest_candidate(const OpenSubtreeStack& stack, uint64_t min_bytes = 0);
// After records [start, end) were replaced by one marker record of
// marker_bytes: shifts the positions that lie after the range.
void shift_after_flush(OpenSubtreeStack& stack, uint64_t start, uint64_t end,
                       uint64_t flushed_bytes, uint64_t marker_bytes);
// The inverse, after the marker at `start` gave way to the records [start,
// end) again: positions after it move up, and a candidate noted meanwhile
// that holds the marker grows by the records.
void shift_after_put_back(OpenSubtreeStack& stack, uint64_t start, uint64_t end,
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
// opening or closing event; None otherwise (plugin records alone, assignment
// records), which is a closed run by itself; Boundary for records that name
// the trace (a test's start and end, a request's), which are never cut.
enum class BatchFrameEvent : uint8_t { None, Call, Return, Boundary };

// How many candidates one flush cuts.
enum class FlushPolicy : uint8_t {
  // The largest one per check (the profile-hook engine).
  OneCandidatePerCheck,
  // The largest ones in turn until the thread's bytes are down to half the
  // threshold, or no candidate is left (the monitoring engine).
  DownToHalfThreshold,
  // Either way only runs of at least min_cut_bytes() are cut, and a thread
  // left at or above its threshold with none of those waits for
  // rearm_step_bytes() of growth before it is looked at again.
};

// Told about each cut once its marker stands in for the thread's records
// [start, end), and about a cut undone (the records back in place of the
// marker), with the trace lock still held.
class CutHook {
 public:
  virtual void after_cut(const TraceLock& trace, const std::string& thread_id, uint64_t start,
                         uint64_t end) = 0;
  virtual void after_put_back(const TraceLock& trace, const std::string& thread_id, uint64_t start,
                              uint64_t end) = 0;

 protected:
  ~CutHook() = default;
};

// What an append made due.
struct FlushDue {
  bool thread = false;  // the thread's own records reached the flush threshold
  bool budget = false;  // the process's records reached the memory budget
  explicit operator bool() const noexcept { return thread || budget; }
};

// The subtree flusher of one engine, over that engine's trace buffer.
class SubtreeFlusher {
 public:
  // hook may be null; it must outlive the flusher. The memory budget is
  // checked against the records of every engine of the process.
  SubtreeFlusher(TraceBuffer& buffer, std::optional<uint64_t> flush_subtree_bytes,
                 std::optional<uint64_t> memory_budget_bytes, FlushPolicy policy, CutHook* hook);
  SubtreeFlusher(const SubtreeFlusher&) = delete;
  SubtreeFlusher& operator=(const SubtreeFlusher&) = delete;

  std::optional<uint64_t> flush_subtree_bytes() const noexcept { return flush_subtree_bytes_; }
  uint64_t flush_trigger_bytes() const noexcept { return flush_trigger_bytes_; }
  std::optional<uint64_t> memory_budget_bytes() const noexcept { return memory_budget_bytes_; }
  bool enabled() const noexcept {
    return flush_subtree_bytes_.has_value() || memory_budget_bytes_.has_value();
  }

  // Counts records [old_length, end of list) just appended to the thread's
  // `list`, under the same hold of the buffers' mutex, and keeps the thread's
  // open subtrees. Returns what is due, for flush(). Call only when
  // enabled().
  FlushDue account(BuffersLock& buffers, FlushThreadState& state, const std::string& thread_id,
                   const RecordList& list, uint64_t old_length, BatchFrameEvent frame_event);

  // Cuts closed runs per what is due: the thread's own per the policy, and
  // for the budget the largest runs of any thread (of at least
  // min_cut_bytes() of the budget) until the process's records are down to
  // three quarters of it. The buffers' mutex is not held
  // by the caller. `suspended` is the calling thread's flag that keeps its
  // events unrecorded while a store runs on it. When a store fails, the
  // records are back in place, no further flush is tried in this epoch, and
  // PyErrSet is thrown.
  void flush(FlushDue due, FlushThreadState& state, bool& suspended, const std::string& thread_id);

 private:
  // The open subtrees and shared byte counts, valid for the buffers' epoch
  // they were noted in.
  struct Tracked {
    uint64_t epoch = 0;
    OpenSubtrees stacks;
    StringMap<uint64_t> bytes;  // per thread, once its open calls are kept
    // Per thread: the byte count its next round waits for, after a round
    // that found nothing to cut while it was at or above its threshold.
    // Dropped once its count is below the threshold again.
    StringMap<uint64_t> rearm;
    // A flush of this epoch failed to store (the database and every place
    // for a side file refused it). No further flush is tried until the next
    // epoch: retrying on every event would repeat the failure each time.
    bool store_failed = false;
  };
  using TrackedLock = Guarded<Tracked>::Locked;
  // A candidate chosen to be cut, as it was noted.
  struct Pick {
    std::string thread_id;
    size_t stack_index = 0;
    FlushCandidate candidate;
    uint64_t epoch = 0;
  };

  // The tracked state for `epoch`, voided first when it is older.
  static Tracked& current(TrackedLock& tracked, uint64_t epoch);
  // Clears a pending recheck once the records are below the target again.
  bool budget_due() noexcept;
  void flush_thread(FlushThreadState& state, bool& suspended, const std::string& thread_id);
  void flush_budget(bool& suspended);
  // The largest candidate of at least min_bytes, of one thread or of every
  // thread.
  std::optional<Pick> pick(const std::string* thread_id, uint64_t min_bytes);
  // Notes, after a thread's round found nothing (more) to cut, from which
  // count its next round is due, if it is still at or above its threshold.
  void rearm_thread(const std::string& thread_id);
  uint64_t shared_bytes(const std::string& thread_id);
  // Cuts a picked candidate; false when it changed or went since it was
  // picked (then nothing is cut).
  bool cut(const Pick& pick, bool& suspended);
  // The marker at pick.candidate.start gives way to `records` again.
  void put_back(const TraceLock& trace, const Pick& pick, RecordList& records,
                uint64_t marker_bytes);

  TraceBuffer& buffer_;
  const std::optional<uint64_t> flush_subtree_bytes_;
  const uint64_t flush_trigger_bytes_;
  const std::optional<uint64_t> memory_budget_bytes_;
  const FlushPolicy policy_;
  CutHook* const hook_;
  // Taken alone, or inside the buffers' mutex; never the other way round.
  Guarded<Tracked> open_subtrees_;
  Guarded<std::unordered_set<std::string>> flushing_threads_;
  // Held by the thread cutting for the budget, for its round; taken before
  // the trace lock.
  GilMutex budget_round_;
  // After a round that could not get down to its target (no candidate left
  // worth a trace), the next round waits until the records have grown past
  // this.
  std::atomic<uint64_t> budget_recheck_{0};
  std::atomic<uint64_t> cuts_{0};  // cuts made, ever
};

}  // namespace vask
