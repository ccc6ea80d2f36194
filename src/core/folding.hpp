// Folding repeated calls: within one recorded call, the first K calls (or
// generator resumes) of one code object are recorded in full and the later
// ones are folded: not dumped, not recorded, only counted and timed. Each
// recorded frame that folded calls leaves one "folded" record per code
// object and event right before its own closing record.
//
// A folded call's whole subtree goes unrecorded with it, except for what the
// engine keeps regardless: plugin records, assignments, trace-point targets.
// A folded call that leaves by an exception (an unwind) is kept: its call is
// recorded when the exception leaves it (arguments as they are then), with
// its unwind; nothing is dumped for a folded call that returns normally.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
};

// One open recorded frame (a call or a generator's stretch).
struct FoldScope {
  PyObject* frame = nullptr;  // identity only; the frame is open while here
  std::string frame_id;       // set when the first call is folded
  std::vector<FoldKind> kinds;
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
  // first `fold_after`, starting the skip. `parent_id` is the open recorded
  // frame's id (null when unknown). Throws PyErrSet (the names of the frame).
  bool fold_opening(uint64_t fold_after, PyObject* frame, PyCodeObject* code, bool resume,
                    std::string_view filename, std::string_view co_name, const FrameId* parent_id);
  // The folded call ended: counted as folded unless `kept` (it raised and is
  // recorded after all).
  void end_skip(bool kept) noexcept;

  // A recorded frame opened (its record stored).
  void open_scope(PyObject* frame) { scopes_.push_back(FoldScope{frame, {}, {}}); }
  // A recorded frame closes: appends its "folded" records (kinds "folded"),
  // in reverse order, as a closing batch is reversed before it is stored.
  // Scopes left open above it (events the engine never saw) are dropped.
  void close_scope(PyObject* frame, std::vector<std::string>& kinds, RecordList& records);

 private:
  std::vector<FoldScope> scopes_;
  PyObject* skip_frame_ = nullptr;
  PyObject* skip_parent_ = nullptr;  // the scope the folded call is counted in
  size_t skip_kind_ = 0;
  double skip_start_ = 0;
};

// The "folded" record of one kind.
void write_fold_record(Bytes& out, const std::string& parent_frame_id, const FoldKind& kind);

}  // namespace vask
