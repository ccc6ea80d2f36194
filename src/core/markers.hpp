// The markers of the monitoring engine: per thread, where test boundaries and
// the starts of open trace points stand in that thread's records. Free of the
// Python API, so that it can be tested alone.
#pragma once

#include <cstdint>
#include <optional>
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
  // TracePointStart only: the buffers' epoch in which `index` was counted (a
  // build or a test start moves the records, and every index with them), and
  // the address of the target's frame, which stays alive while the call runs.
  uint64_t epoch = 0;
  uintptr_t frame = 0;

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

// A target's call record stands at `index` of the thread's records, counted
// in `epoch`: its trace point starts. The thread's starts of other epochs
// point at records that have moved away; they go.
void open_trace_point(Markers& markers, std::string_view thread_id, uint64_t index, uint64_t epoch,
                      uintptr_t frame);
// The target running in `frame` has ended: its newest start goes, and is
// returned. Starts of other frames stay (a suspended generator's, say); none
// is taken for this one's.
std::optional<MarkerKind> close_trace_point(Markers& markers, std::string_view thread_id,
                                            uintptr_t frame);
// Whether a start still points at its call record in a thread list of
// `length` records, counted in `epoch`. One that does not is stale: the
// records it pointed at were taken out (a build, a save, a test start) or
// cut, and copying from it would save records of other calls.
bool points_at_records(const MarkerKind& start, uint64_t epoch, uint64_t length) noexcept;

}  // namespace vask
