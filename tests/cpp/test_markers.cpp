#include "core/markers.hpp"
#include "harness.hpp"

namespace vask {
namespace {

constexpr MarkerKind kBoundary{MarkerKind::Tag::Boundary, 0};
MarkerKind start_at(uint64_t index) { return {MarkerKind::Tag::TracePointStart, index}; }

TEST(Markers, ATestStartLeavesOneBoundaryPerThread) {
  Markers markers{{"a", {start_at(3)}}, {"gone", {start_at(1)}}};
  markers_at_test_start(markers, {"a", "b"});
  EXPECT_EQ(markers.size(), 2u);
  EXPECT_EQ(markers["a"], MarkerList{kBoundary});
  EXPECT_EQ(markers["b"], MarkerList{kBoundary});
}

TEST(Markers, ATestEndDropsItsStartsAndItsBoundaryOnly) {
  Markers markers{
      {"a", {start_at(1), kBoundary, start_at(5), start_at(8)}},
      {"b", {kBoundary}},
      {"c", {start_at(2)}},  // no boundary: a thread first seen during the test
  };
  markers_at_test_end(markers);
  EXPECT_EQ(markers["a"], MarkerList{start_at(1)});
  EXPECT_EQ(markers.count("b"), 0u);
  EXPECT_EQ(markers.count("c"), 0u);
}

TEST(Markers, ACutDropsStartsInsideAndShiftsThoseAfter) {
  Markers markers{{"a", {kBoundary, start_at(1), start_at(4), start_at(9), start_at(12)}}};
  markers_after_cut(markers, "a", 4, 10);  // six records became one
  EXPECT_EQ(markers["a"], (MarkerList{kBoundary, start_at(1), start_at(7)}));
  markers_after_cut(markers, "other", 0, 5);
  EXPECT_EQ(markers.size(), 1u);
  Markers lone{{"a", {start_at(2)}}};
  markers_after_cut(lone, "a", 0, 3);
  EXPECT_TRUE(lone.empty());
}

TEST(Markers, APutBackMovesTheStartsAfterTheMarkerUpAgain) {
  Markers markers{{"a", {kBoundary, start_at(1), start_at(7)}}};
  markers_after_put_back(markers, "a", 4, 10);  // the marker at 4 became six records
  EXPECT_EQ(markers["a"], (MarkerList{kBoundary, start_at(1), start_at(12)}));
}

MarkerKind opened(uint64_t index, uint64_t epoch, uintptr_t frame) {
  return {MarkerKind::Tag::TracePointStart, index, epoch, frame};
}

TEST(Markers, AReturnClosesItsOwnFramesStartOnly) {
  Markers markers;
  open_trace_point(markers, "a", 0, 7, 0x100);  // an outer target
  open_trace_point(markers, "a", 4, 7, 0x200);  // a generator target, suspended
  open_trace_point(markers, "a", 9, 7, 0x300);  // a recursive call of the outer one
  EXPECT_EQ(close_trace_point(markers, "a", 0x100), opened(0, 7, 0x100));
  EXPECT_EQ(markers["a"], (MarkerList{opened(4, 7, 0x200), opened(9, 7, 0x300)}));
  EXPECT_EQ(close_trace_point(markers, "a", 0x999), std::nullopt);
  EXPECT_EQ(close_trace_point(markers, "b", 0x200), std::nullopt);
  close_trace_point(markers, "a", 0x300);
  close_trace_point(markers, "a", 0x200);
  EXPECT_TRUE(markers.empty());
}

TEST(Markers, NestedCallsOfOneFrameAddressCloseTheNewestFirst) {
  Markers markers;
  open_trace_point(markers, "a", 1, 2, 0x100);
  open_trace_point(markers, "a", 5, 2, 0x100);  // the address of a frame freed since
  EXPECT_EQ(close_trace_point(markers, "a", 0x100)->index, 5u);
  EXPECT_EQ(close_trace_point(markers, "a", 0x100)->index, 1u);
}

TEST(Markers, StartsOfAnotherEpochAreStale) {
  Markers markers{{"a", {kBoundary, opened(3, 1, 0x100)}}};
  open_trace_point(markers, "a", 0, 2, 0x200);  // a build came in between
  EXPECT_EQ(markers["a"], (MarkerList{kBoundary, opened(0, 2, 0x200)}));
  const MarkerKind start = opened(3, 2, 0x100);
  EXPECT_TRUE(points_at_records(start, 2, 4));
  EXPECT_FALSE(points_at_records(start, 2, 3));   // past the end of the list
  EXPECT_FALSE(points_at_records(start, 3, 10));  // counted before the records moved
  EXPECT_FALSE(points_at_records(kBoundary, 0, 10));
}

}  // namespace
}  // namespace vask
