// The markers of the monitoring engine: per thread, where test boundaries and
// the starts of open trace points stand in that thread's records. Free of the
// Python API, so that it can be tested alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vask {

// One entry of a thread's markers: a test boundary, or the start of a trace
// point with the index of the target's call record in the thread's records.
struct MarkerKind {
  enum class Tag : uint8_t { Boundary = 0, TracePointStart = 1 };
  Tag tag = Tag::Boundary;
  uint64_t index = 0;  // TracePointStart only

  bool operator==(const MarkerKind&) const = default;
};

using MarkerList = std::vector<MarkerKind>;
// Thread identity -> that thread's markers, oldest first.
using Markers = std::unordered_map<std::string, MarkerList>;

// A test starts: every marker goes, and each thread named in `threads` gets a
// boundary, so that trace points opened before the test are void.
void markers_at_test_start(Markers& markers, const std::vector<std::string>& threads);
// A test ends: each thread drops the trace-point starts opened since its
// boundary, then the boundary itself. A start from before the test is never
// taken for a boundary. Threads left with no marker are dropped.
void markers_at_test_end(Markers& markers);
// Records [start, end) of the thread became one record: starts inside the
// range go, starts after it move down with the records they point at.
void markers_after_cut(Markers& markers, std::string_view thread_id, uint64_t start, uint64_t end);
// The inverse: the record at `start` became records [start, end) again
// (a cut undone); starts after it move up with the records they point at.
void markers_after_put_back(Markers& markers, std::string_view thread_id, uint64_t start,
                            uint64_t end);

}  // namespace vask
