#include "core/markers.hpp"

#include <algorithm>

namespace vask {

void markers_at_test_start(Markers& markers, const std::vector<std::string>& threads) {
  markers.clear();
  for (const std::string& thread_id : threads) {
    markers[thread_id] = {MarkerKind{MarkerKind::Tag::Boundary, 0}};
  }
}

void markers_at_test_end(Markers& markers) {
  for (auto it = markers.begin(); it != markers.end();) {
    MarkerList& list = it->second;
    while (!list.empty() && list.back().tag == MarkerKind::Tag::TracePointStart) list.pop_back();
    if (!list.empty() && list.back().tag == MarkerKind::Tag::Boundary) list.pop_back();
    it = list.empty() ? markers.erase(it) : std::next(it);
  }
}

void markers_after_cut(Markers& markers, std::string_view thread_id, uint64_t start, uint64_t end) {
  auto it = markers.find(std::string(thread_id));
  if (it == markers.end() || end <= start) return;
  MarkerList& list = it->second;
  std::erase_if(list, [&](const MarkerKind& m) {
    return m.tag == MarkerKind::Tag::TracePointStart && m.index >= start && m.index < end;
  });
  for (MarkerKind& m : list) {
    if (m.tag == MarkerKind::Tag::TracePointStart && m.index >= end) m.index -= end - start - 1;
  }
  if (list.empty()) markers.erase(it);
}

void markers_after_put_back(Markers& markers, std::string_view thread_id, uint64_t start,
                            uint64_t end) {
  auto it = markers.find(std::string(thread_id));
  if (it == markers.end() || end <= start + 1) return;
  for (MarkerKind& m : it->second) {
    if (m.tag == MarkerKind::Tag::TracePointStart && m.index > start) m.index += end - start - 1;
  }
}

void open_trace_point(Markers& markers, std::string_view thread_id, uint64_t index, uint64_t epoch,
                      uintptr_t frame) {
  MarkerList& list = markers[std::string(thread_id)];
  std::erase_if(list, [&](const MarkerKind& m) {
    return m.tag == MarkerKind::Tag::TracePointStart && m.epoch != epoch;
  });
  list.push_back(MarkerKind{MarkerKind::Tag::TracePointStart, index, epoch, frame});
}

std::optional<MarkerKind> close_trace_point(Markers& markers, std::string_view thread_id,
                                            uintptr_t frame) {
  auto it = markers.find(std::string(thread_id));
  if (it == markers.end()) return std::nullopt;
  MarkerList& list = it->second;
  auto found = std::find_if(list.rbegin(), list.rend(), [&](const MarkerKind& m) {
    return m.tag == MarkerKind::Tag::TracePointStart && m.frame == frame;
  });
  if (found == list.rend()) return std::nullopt;
  MarkerKind start = *found;
  list.erase(std::next(found).base());
  if (list.empty()) markers.erase(it);
  return start;
}

bool points_at_records(const MarkerKind& start, uint64_t epoch, uint64_t length) noexcept {
  return start.tag == MarkerKind::Tag::TracePointStart && start.epoch == epoch &&
         start.index < length;
}

}  // namespace vask
