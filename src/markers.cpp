#include "markers.hpp"

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

}  // namespace vask
