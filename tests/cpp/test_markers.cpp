#include "harness.hpp"
#include "markers.hpp"

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

}  // namespace
}  // namespace vask
