#include "harness.hpp"
#include "subtree_flush.hpp"
#include "utils/msgpack_write.hpp"

namespace vask {
namespace {

Bytes frame_record(std::string_view co_name) {
  Bytes out;
  mp::write_map_header(out, 2);
  write_str_pair(out, "type", "frame");
  write_str_pair(out, "co_name", co_name);
  return out;
}

TEST(OpenSubtrees, StackStartsWithARootThatIsNeverPopped) {
  OpenSubtrees open;
  EXPECT_FALSE(pop_open_subtree(open, "t"));
  push_open_subtree(open, "t", OpenSubtree{"f", std::nullopt, 3, 10});
  ASSERT_EQ(open["t"].size(), 2u);
  EXPECT_EQ(open["t"][0].co_name, "<root>");
  auto popped = pop_open_subtree(open, "t");
  ASSERT_TRUE(popped);
  EXPECT_EQ(popped->co_name, "f");
  EXPECT_FALSE(pop_open_subtree(open, "t"));
  EXPECT_EQ(open["t"].size(), 1u);
}

TEST(OpenSubtrees, AdjacentClosedCallsMergeAndAGapReplaces) {
  OpenSubtrees open;
  record_closed_segment(open, "t", 0, 4, 100, "a");
  record_closed_segment(open, "t", 4, 6, 50, "b");
  FlushCandidate c = *open["t"].back().candidate;
  EXPECT_EQ(c.co_name, "a");
  EXPECT_EQ(c.start, 0u);
  EXPECT_EQ(c.end, 6u);
  EXPECT_EQ(c.bytes, 150u);
  EXPECT_EQ(c.segment_count, 2u);

  record_closed_segment(open, "t", 8, 9, 30, "c");  // after a gap
  c = *open["t"].back().candidate;
  EXPECT_EQ(c.co_name, "c");
  EXPECT_EQ(c.start, 8u);
  EXPECT_EQ(c.segment_count, 1u);

  record_closed_segment(open, "t", 9, 12, 0, "empty");  // nothing to track
  EXPECT_EQ(open["t"].back().candidate->end, 9u);
}

TEST(OpenSubtrees, LargestCandidatePrefersTheBottomAmongEquals) {
  OpenSubtreeStack stack(3);
  EXPECT_FALSE(largest_candidate(stack));
  stack[1].candidate = FlushCandidate{"x", 0, 2, 70, 1};
  stack[2].candidate = FlushCandidate{"y", 5, 7, 70, 1};
  EXPECT_EQ(largest_candidate(stack), 1u);
  stack[2].candidate->bytes = 71;
  EXPECT_EQ(largest_candidate(stack), 2u);
}

TEST(OpenSubtrees, LargestCandidateIgnoresRunsBelowTheMinimum) {
  OpenSubtreeStack stack(3);
  stack[1].candidate = FlushCandidate{"x", 0, 2, 70, 1};
  stack[2].candidate = FlushCandidate{"y", 5, 7, 30, 1};
  EXPECT_EQ(largest_candidate(stack, 70), 1u);
  EXPECT_FALSE(largest_candidate(stack, 71));
  EXPECT_EQ(min_cut_bytes(128u << 20), 2u << 20);
  EXPECT_EQ(rearm_step_bytes(128u << 20), 16u << 20);
  EXPECT_EQ(rearm_step_bytes(0), 1u);
}

TEST(OpenSubtrees, PositionsAfterAFlushedRangeShift) {
  OpenSubtreeStack stack(3);
  stack[1] = OpenSubtree{"parent", FlushCandidate{"a", 2, 10, 800, 3}, 1, 50};
  stack[2] = OpenSubtree{"child", FlushCandidate{"b", 12, 14, 90, 1}, 11, 900};
  // records [2, 10) of 800 bytes became one marker of 60 bytes
  shift_after_flush(stack, 2, 10, 800, 60);
  EXPECT_EQ(stack[1].start_index, 1u);  // before the range: unchanged
  EXPECT_EQ(stack[1].start_bytes, 50u);
  EXPECT_EQ(stack[2].start_index, 4u);
  EXPECT_EQ(stack[2].start_bytes, 160u);
  EXPECT_EQ(stack[2].candidate->start, 5u);
  EXPECT_EQ(stack[2].candidate->end, 7u);
}

TEST(OpenSubtrees, APutBackUndoesAFlushAndGrowsWhatHoldsTheMarker) {
  OpenSubtreeStack stack(3);
  stack[1] = OpenSubtree{"parent", FlushCandidate{"a", 2, 10, 800, 3}, 1, 50};
  stack[2] = OpenSubtree{"child", FlushCandidate{"b", 12, 14, 90, 1}, 11, 900};
  stack[1].candidate.reset();  // the run [2, 10) was cut
  const OpenSubtreeStack before = stack;
  shift_after_flush(stack, 2, 10, 800, 60);
  shift_after_put_back(stack, 2, 10, 800, 60);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(stack[i].start_index, before[i].start_index) << i;
    EXPECT_EQ(stack[i].start_bytes, before[i].start_bytes) << i;
  }
  EXPECT_EQ(stack[2].candidate->start, 12u);
  EXPECT_EQ(stack[2].candidate->end, 14u);
  // A run noted after the cut, with the marker (record 2) inside it, takes
  // the records back in.
  OpenSubtreeStack noted(2);
  noted[1].candidate = FlushCandidate{"p", 1, 5, 300, 2};
  shift_after_put_back(noted, 2, 10, 800, 60);
  EXPECT_EQ(noted[1].candidate->start, 1u);
  EXPECT_EQ(noted[1].candidate->end, 12u);
  EXPECT_EQ(noted[1].candidate->bytes, 1040u);
}

TEST(FlushMarker, HasSevenKeysInOrder) {
  Bytes marker = write_flush_marker("frm_1", "work", "trc_2", 1234, 3, 1.5);
  EXPECT_EQ(static_cast<uint8_t>(marker[0]), 0x87);
  const std::string expected_start = std::string(
      "\x87\xa4type\xafsubtree_flushed\xa8"
      "frame_id",
      31);
  EXPECT_EQ(marker.substr(0, expected_start.size()), expected_start);
  EXPECT_NE(marker.find("flushed_segment_count"), std::string::npos);
  EXPECT_EQ(static_cast<uint8_t>(marker[marker.size() - 9]), 0xcb);
}

TEST(FlushMarker, BatchNameComesFromTheFrameRecord) {
  Bytes plugin;
  mp::write_map_header(plugin, 2);
  write_str_pair(plugin, "type", "start_test");
  write_str_pair(plugin, "co_name", "runner");
  RecordList batch{plugin, frame_record("work")};
  EXPECT_EQ(batch_co_name(batch, 0, 2), "work");
  EXPECT_EQ(batch_co_name(batch, 0, 1), "runner");
  RecordList garbage{Bytes("\xc1", 1)};
  EXPECT_EQ(batch_co_name(garbage, 0, 1), "<unknown>");
}

}  // namespace
}  // namespace vask
