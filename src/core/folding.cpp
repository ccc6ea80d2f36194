#include "core/folding.hpp"

#include <algorithm>
#include <utility>

#include "utils/msgpack_write.hpp"
#include "utils/names.hpp"

namespace vask {

bool FoldState::fold_opening(const FoldLimits& limits, PyObject* frame, PyCodeObject* code,
                             bool resume, std::string_view filename, std::string_view co_name,
                             const FrameId* parent_id) {
  PyObject* key = reinterpret_cast<PyObject*>(code);
  if (!scopes_.empty()) {
    return fold_in(scopes_.back(), limits, frame, key, resume, filename, co_name, parent_id);
  }
  if (!root_) return false;  // not made known yet (root_as): nothing to fold under
  std::lock_guard<std::mutex> hold(root_->mutex_);
  if (!fold_in(root_->scope_, limits, frame, key, resume, filename, co_name, nullptr)) {
    return false;
  }
  skip_root_ = true;
  root_->running_ = skip_kind_;
  return true;
}

bool FoldState::within_trace_budget(const FoldLimits& limits, PyObject* code, bool resume) {
  if (limits.trace_after == 0) return true;
  if (trace_serial_ != limits.trace_serial) {
    // A new trace: its counts start afresh. The GIL is held (an event), so
    // the code objects can be let go of here.
    trace_counts_.clear();
    trace_serial_ = limits.trace_serial;
  }
  auto [it, added] = trace_counts_.try_emplace(code);
  if (added) it->second.code = Ref::incref(code);
  uint64_t& recorded = resume ? it->second.resumes : it->second.calls;
  if (recorded >= limits.trace_after) return false;
  ++recorded;
  return true;
}

bool FoldState::fold_in(FoldScope& scope, const FoldLimits& limits, PyObject* frame,
                        PyObject* key, bool resume, std::string_view filename,
                        std::string_view co_name, const FrameId* parent_id) {
  auto it = std::find_if(scope.kinds.begin(), scope.kinds.end(), [&](const FoldKind& k) {
    return k.code.get() == key && k.resume == resume;
  });
  if (it == scope.kinds.end()) {
    FoldKind kind;
    kind.code = Ref::incref(key);
    kind.resume = resume;
    scope.kinds.push_back(std::move(kind));
    it = scope.kinds.end() - 1;
  }
  // A call folded under its parent leaves the trace budget untouched: only
  // calls recorded in full spend it.
  const bool past_parent_limit = ++it->seen > limits.fold_after && limits.fold_after != 0;
  if (!past_parent_limit && within_trace_budget(limits, key, resume)) return false;
  if (it->folded == 0 && it->qualname.empty()) {
    // The names of the first folded call, as its call record would show them.
    it->co_name = std::string(co_name);
    std::optional<std::string> qualname = get_qualname(frame);
    it->qualname = qualname ? std::move(*qualname) : it->co_name;
    const int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
    it->path = format_frame_path(filename, line < 0 ? 0 : static_cast<uint64_t>(line));
  }
  if (scope.frame_id.empty() && parent_id != nullptr)
    scope.frame_id = std::string(parent_id->view());
  skip_frame_ = frame;
  skip_parent_ = scope.frame;
  skip_kind_ = static_cast<size_t>(it - scope.kinds.begin());
  skip_start_ = timestamp();
  return true;
}

void FoldState::add_to_counts(FoldKind& kind, double start, double end) noexcept {
  const double took = std::max(0.0, end - start);
  if (kind.folded == 0) {
    kind.first = start;
    kind.min = took;
    kind.max = took;
  } else {
    kind.min = std::min(kind.min, took);
    kind.max = std::max(kind.max, took);
  }
  kind.total += took;
  kind.last = end;
  ++kind.folded;
}

void FoldState::count_folded(FoldKind& kind, double start) noexcept {
  const double end = timestamp();
  if (opening_slot_.empty() || closing_slot_.empty()) {
    add_to_counts(kind, start, end);
    return;
  }
  // The kept call before this one is a folded call like the others now.
  if (kind.has_kept) add_to_counts(kind, kind.kept_start, kind.kept_end);
  kind.has_kept = true;
  kind.kept_start = start;
  kind.kept_end = end;
  kind.kept_open.swap(opening_slot_);
  kind.kept_close.swap(closing_slot_);
}

void FoldState::end_skip(bool kept) noexcept {
  if (skip_frame_ == nullptr) return;
  skip_frame_ = nullptr;
  // Whatever is left in the slots (an earlier kept call's buffers, an
  // unfinished write) is not wanted after this; the buffers stay allocated.
  struct ClearSlots {
    Bytes& opening;
    Bytes& closing;
    ~ClearSlots() {
      opening.clear();
      closing.clear();
    }
  } clear_slots{opening_slot_, closing_slot_};
  if (skip_root_) {
    skip_root_ = false;
    std::lock_guard<std::mutex> hold(root_->mutex_);
    const std::optional<size_t> running = std::exchange(root_->running_, std::nullopt);
    std::vector<FoldKind>& kinds = root_->scope_.kinds;
    if (!kept && running && *running < kinds.size()) count_folded(kinds[*running], skip_start_);
    return;
  }
  // Frames kept inside the folded call (watched, trace points) have closed
  // their own scopes by now, unless their closing events were never seen.
  auto scope = std::find_if(scopes_.rbegin(), scopes_.rend(),
                            [&](const FoldScope& s) { return s.frame == skip_parent_; });
  skip_parent_ = nullptr;
  if (kept || scope == scopes_.rend() || skip_kind_ >= scope->kinds.size()) return;
  count_folded(scope->kinds[skip_kind_], skip_start_);
}

std::shared_ptr<RootFolds> FoldState::root_as(const std::string& thread_id,
                                              const ThreadRef& thread) {
  std::shared_ptr<RootFolds> made;
  if (!root_) {
    root_ = std::make_shared<RootFolds>();
    made = root_;
  }
  // Only this thread writes thread_: reading it without the mutex is safe.
  if (root_->thread_ != thread) {
    ThreadRef replaced;  // let go of once the mutex is released
    std::lock_guard<std::mutex> hold(root_->mutex_);
    root_->thread_id_ = thread_id;
    replaced = std::exchange(root_->thread_, thread);
  }
  return made;
}

void RootFolds::take(std::string& thread_id, ThreadRef& thread, RecordList& records,
                     std::vector<Ref>& released) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (FoldKind& kind : scope_.kinds) write_kind_records(scope_.frame_id, kind, records);
  thread_id = thread_id_;
  thread = thread_;
  restart(released);
}

void RootFolds::clear(std::vector<Ref>& released) {
  std::lock_guard<std::mutex> hold(mutex_);
  restart(released);
}

void RootFolds::restart(std::vector<Ref>& released) {
  std::optional<FoldKind> keep;
  if (running_ && *running_ < scope_.kinds.size()) {
    FoldKind& kind = scope_.kinds[*running_];
    keep.emplace();
    keep->code = std::move(kind.code);
    keep->resume = kind.resume;
    keep->seen = kind.seen;
    keep->co_name = std::move(kind.co_name);
    keep->qualname = std::move(kind.qualname);
    keep->path = std::move(kind.path);
    running_ = 0;
  }
  for (FoldKind& kind : scope_.kinds) {
    if (kind.code) released.push_back(std::move(kind.code));
  }
  scope_.kinds.clear();
  if (keep) scope_.kinds.push_back(std::move(*keep));
}

void FoldState::close_scope(PyObject* frame, std::vector<std::string>& kinds, RecordList& records) {
  auto it = std::find_if(scopes_.rbegin(), scopes_.rend(),
                         [&](const FoldScope& s) { return s.frame == frame; });
  if (it == scopes_.rend()) return;
  FoldScope scope = std::move(*it);
  scopes_.erase(std::prev(it.base()), scopes_.end());
  RecordList mine;
  for (auto k = scope.kinds.rbegin(); k != scope.kinds.rend(); ++k) {
    mine.clear();
    write_kind_records(scope.frame_id, *k, mine);
    // Reversed, as the closing batch they join is reversed when stored.
    for (auto r = mine.rbegin(); r != mine.rend(); ++r) {
      kinds.emplace_back(r == mine.rbegin() && k->folded != 0 ? "folded" : "frame");
      records.emplace_back(std::move(*r));
    }
  }
}

void write_kind_records(const std::string& parent_frame_id, FoldKind& kind, RecordList& out) {
  if (kind.has_kept) {
    out.push_back(std::move(kind.kept_open));
    out.push_back(std::move(kind.kept_close));
    kind.has_kept = false;
  }
  if (kind.folded == 0) return;
  Bytes record;
  write_fold_record(record, parent_frame_id, kind);
  out.push_back(std::move(record));
}

void write_fold_record(Bytes& out, const std::string& parent_frame_id, const FoldKind& kind) {
  mp::write_map_header(out, 13);
  write_str_pair(out, "type", "folded");
  write_str_pair(
      out, "frame_id",
      parent_frame_id.empty() ? std::nullopt : std::optional<std::string_view>(parent_frame_id));
  write_str_pair(out, "co_name", kind.co_name);
  write_str_pair(out, "qualname", kind.qualname);
  write_str_pair(out, "path", kind.path);
  write_str_pair(out, "event", kind.resume ? "resume" : "call");
  mp::write_str(out, "count");
  mp::write_uint(out, kind.folded);
  for (auto [key, value] : {std::pair<std::string_view, double>{"total_duration", kind.total},
                            {"min_duration", kind.min},
                            {"max_duration", kind.max},
                            {"first_timestamp", kind.first},
                            {"last_timestamp", kind.last}}) {
    mp::write_str(out, key);
    mp::write_f64(out, value);
  }
  write_f64_pair(out, timestamp());
}

}  // namespace vask
