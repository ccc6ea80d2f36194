// Folding repeated calls: within one recorded call, the first K calls (or
// generator resumes) of one code object are recorded in full and the later
// ones are folded: not dumped, not recorded, only counted and timed. Each
// recorded frame that folded calls leaves one "folded" record per code
// object and event right before its own closing record.
//
// A folded call's whole subtree goes unrecorded with it, except for what the
// engine keeps regardless: plugin records, assignments, trace-point targets.
// A folded call that leaves by an exception (the monitor's unwind, the
// profile hook's return with no value) is kept: its call is recorded when the
// exception leaves it (arguments as they are then), with its unwind. Both
// records are written in the lightweight form whatever the trace's form (a
// parser that fails by raising keeps each failure short); only they are:
// calls that are not folded raise in the trace's form, and the kept last
// call below stays in it. Nothing is dumped for a folded call that returns
// normally, unless the last folded call of each kind is kept in full: then every
// folded call's opening and closing records are written into the thread's
// scratch slots, and the kind's slot is overwritten by each folded call that
// ends. At the close the last one is recorded (right before the "folded"
// record, with nothing under it) and left out of the counts. No reference
// to the program's objects is held past its event: only encoded records.
//
// Calls with no recorded parent (a thread's top level: callbacks a library
// or C code makes, a thread's target called by threading) fold the same way
// under the thread's root. Their "folded" records (with a nil "frame_id")
// are held until the trace is taken, and written after the thread's records
// then; each trace taken (a save, a test's end) counts afresh.
//
// The trace budget folds across parents: once a code object's calls (or
// resumes) were recorded in full `trace_after` times in the current trace,
// every later one folds under whatever recorded frame it runs in, exactly as
// a call past `fold_after` does, whatever that frame's own count. The budget
// is counted per thread (no lock on the hot path), so a code object run on
// several threads is recorded in full up to `trace_after` times on each; the
// counts start afresh with each trace taken (a save, a test's end or start).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/trace_buffer.hpp"
#include "support/py.hpp"
#include "utils/ids.hpp"
#include "utils/records.hpp"

namespace vask {

// What one recorded call folded of one code object and event.
struct FoldKind {
  Ref code;  // held: the key must not be reused by another code object
  bool resume = false;
  uint64_t seen = 0;    // calls met under the parent, folded or not
  uint64_t folded = 0;  // calls left out
  double total = 0, min = 0, max = 0, first = 0, last = 0;
  std::string co_name, qualname, path;
  // The last folded call, kept in full when its records were written: its
  // opening and closing records and times, not in the counts above until a
  // later folded call replaces it.
  bool has_kept = false;
  Bytes kept_open, kept_close;
  double kept_start = 0, kept_end = 0;
};

// One open recorded frame (a call or a generator's stretch).
struct FoldScope {
  PyObject* frame = nullptr;  // identity only; the frame is open while here
  std::string frame_id;       // set when the first call is folded
  std::vector<FoldKind> kinds;
};

// What a thread folded at its top level, held until its trace is taken.
class RootFolds final : public HeldRecords {
 public:
  void take(std::string& thread_id, ThreadRef& thread, RecordList& records,
            std::vector<Ref>& released) override;
  void clear(std::vector<Ref>& released) override;

 private:
  friend class FoldState;
  // Taken by the thread at a folded top-level call's start and end, and by
  // a take; a leaf.
  std::mutex mutex_;
  FoldScope scope_;  // frame null: the root; frame_id empty: written as nil
  std::string thread_id_;
  ThreadRef thread_;
  // The kind of the folded call running now, if any: a take keeps it (at
  // index 0, its counts started afresh), so that the call is counted in the
  // trace it ends in.
  std::optional<size_t> running_;
  // Lets go of the kinds but the running one.
  void restart(std::vector<Ref>& released);
};

// When calls fold. A limit of 0 is no limit.
struct FoldLimits {
  uint64_t fold_after = 0;    // calls recorded in full under one recorded frame
  uint64_t trace_after = 0;   // calls recorded in full in one trace, on one thread
  uint64_t trace_serial = 0;  // the trace being recorded (TraceBuffer::trace_serial)
};

// One thread's folding state for one engine.
class FoldState {
 public:
  // Whether a folded call is running on the thread.
  bool skipping() const noexcept { return skip_frame_ != nullptr; }
  PyObject* skip_frame() const noexcept { return skip_frame_; }
  // Whether `frame` is the open recorded frame the folded call runs under.
  bool is_skip_parent(PyObject* frame) const noexcept { return frame == skip_parent_; }

  // At the opening event of a recorded frame that may fold (a call or a
  // resume): counts it under the open recorded frame, and folds it past the
  // first `limits.fold_after` there or once the trace budget of its code
  // object is spent, starting the skip. `parent_id` is the open recorded
  // frame's id (null when unknown). Throws PyErrSet (the names of the frame).
  bool fold_opening(const FoldLimits& limits, PyObject* frame, PyCodeObject* code, bool resume,
                    std::string_view filename, std::string_view co_name, const FrameId* parent_id);
  // The folded call ended: counted as folded unless `kept` (it raised and is
  // recorded after all). With both slots written, it becomes its kind's kept
  // last call. The slots are empty afterwards.
  void end_skip(bool kept) noexcept;

  // Where the running folded call's opening and closing records are written
  // when the last call of each kind is kept (empty otherwise).
  Bytes& opening_slot() noexcept { return opening_slot_; }
  Bytes& closing_slot() noexcept { return closing_slot_; }

  // Whether the next opening event has no recorded parent: it folds under
  // the thread's root.
  bool at_top_level() const noexcept { return scopes_.empty(); }
  // The thread's root folds, made on first use, and made known as the
  // thread `thread_id` (`thread`). Returns them when just made, for the
  // trace buffer to hold (TraceBuffer::hold_records), else null. GIL held.
  std::shared_ptr<RootFolds> root_as(const std::string& thread_id, const ThreadRef& thread);

  // A recorded frame opened (its record stored).
  void open_scope(PyObject* frame) { scopes_.push_back(FoldScope{frame, {}, {}}); }
  // A recorded frame closes: appends its "folded" records (kinds "folded"),
  // in reverse order, as a closing batch is reversed before it is stored.
  // Scopes left open above it (events the engine never saw) are dropped.
  void close_scope(PyObject* frame, std::vector<std::string>& kinds, RecordList& records);

 private:
  // Folds the opening event under `scope` (the open recorded frame's, or
  // the root's with its mutex held).
  bool fold_in(FoldScope& scope, const FoldLimits& limits, PyObject* frame, PyObject* code,
               bool resume, std::string_view filename, std::string_view co_name,
               const FrameId* parent_id);
  // Whether one more call (or resume) of `code` may be recorded in full in
  // the current trace; counts it when it may.
  bool within_trace_budget(const FoldLimits& limits, PyObject* code, bool resume);
  // Counts the folded call that started at `start` and ends now, or keeps
  // it as the kind's last (swapping the slots in) when both are written.
  void count_folded(FoldKind& kind, double start) noexcept;
  static void add_to_counts(FoldKind& kind, double start, double end) noexcept;

  std::vector<FoldScope> scopes_;
  // Calls and resumes of each code object recorded in full in the trace
  // `trace_serial_` on this thread. The code objects are held, so that a
  // key is never reused by another code object within the trace.
  struct TraceCount {
    Ref code;
    uint64_t calls = 0, resumes = 0;
  };
  std::unordered_map<PyObject*, TraceCount> trace_counts_;
  uint64_t trace_serial_ = 0;
  std::shared_ptr<RootFolds> root_;
  // Set while a folded top-level call runs (its kind: root_->running_).
  bool skip_root_ = false;
  PyObject* skip_frame_ = nullptr;
  PyObject* skip_parent_ = nullptr;  // the scope the folded call is counted in
  size_t skip_kind_ = 0;
  double skip_start_ = 0;
  Bytes opening_slot_, closing_slot_;
};

// The "folded" record of one kind.
void write_fold_record(Bytes& out, const std::string& parent_frame_id, const FoldKind& kind);
// The records one kind leaves at its parent's close, in order: its kept last
// call's opening and closing records, then its "folded" record when calls
// were left out.
void write_kind_records(const std::string& parent_frame_id, FoldKind& kind, RecordList& out);

}  // namespace vask
