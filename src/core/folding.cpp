#include "core/folding.hpp"

#include <algorithm>

#include "utils/msgpack_write.hpp"
#include "utils/names.hpp"

namespace vask {

bool FoldState::fold_opening(uint64_t fold_after, PyObject* frame, PyCodeObject* code, bool resume,
                             std::string_view filename, std::string_view co_name,
                             const FrameId* parent_id) {
  if (scopes_.empty()) return false;  // no recorded parent: nothing to fold under
  FoldScope& scope = scopes_.back();
  PyObject* key = reinterpret_cast<PyObject*>(code);
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
  if (++it->seen <= fold_after) return false;
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

void FoldState::end_skip(bool kept) noexcept {
  if (skip_frame_ == nullptr) return;
  skip_frame_ = nullptr;
  // Frames kept inside the folded call (watched, trace points) have closed
  // their own scopes by now, unless their closing events were never seen.
  auto scope = std::find_if(scopes_.rbegin(), scopes_.rend(),
                            [&](const FoldScope& s) { return s.frame == skip_parent_; });
  skip_parent_ = nullptr;
  if (kept || scope == scopes_.rend() || skip_kind_ >= scope->kinds.size()) return;
  FoldKind& kind = scope->kinds[skip_kind_];
  const double end = timestamp();
  const double took = std::max(0.0, end - skip_start_);
  if (kind.folded == 0) {
    kind.first = skip_start_;
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

void FoldState::close_scope(PyObject* frame, std::vector<std::string>& kinds, RecordList& records) {
  auto it = std::find_if(scopes_.rbegin(), scopes_.rend(),
                         [&](const FoldScope& s) { return s.frame == frame; });
  if (it == scopes_.rend()) return;
  FoldScope scope = std::move(*it);
  scopes_.erase(std::prev(it.base()), scopes_.end());
  for (auto k = scope.kinds.rbegin(); k != scope.kinds.rend(); ++k) {
    if (k->folded == 0) continue;
    Bytes record;
    write_fold_record(record, scope.frame_id, *k);
    kinds.emplace_back("folded");
    records.emplace_back(std::move(record));
  }
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
