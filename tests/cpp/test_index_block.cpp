#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "scan/call_columns.hpp"
#include "scan/index_block.hpp"

namespace vask::scan {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::int64_t> as_int64(const std::string& column) {
  std::vector<std::int64_t> out(column.size() / 8);
  if (!column.empty()) std::memcpy(out.data(), column.data(), column.size());
  return out;
}

// Rows [lo, hi) of `columns` written as a block and read back whole, 64 bits a value.
std::vector<std::vector<std::int64_t>> round_trip(
    const std::vector<std::vector<std::int64_t>>& columns, const std::vector<BlockColumn>& layout,
    std::size_t lo, std::size_t hi) {
  const std::string block = encode_block(columns, layout, lo, hi);
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(block.data()), block.size());
  std::vector<BlockColumn> wide = layout;
  for (BlockColumn& column : wide) column.width = 8;
  std::vector<std::vector<std::int64_t>> out;
  for (const std::string& column : decode_block(bytes, wide, 0, hi - lo))
    out.push_back(as_int64(column));
  return out;
}

TEST(IndexBlock, ExtremeValuesAndWrappingDifferencesReadBackAsWritten) {
  const std::vector<std::int64_t> values = {0, kMax, kMin, -1, 1, kMin, kMax, 42, kMin + 1, -7};
  const std::vector<std::vector<std::int64_t>> columns = {values, values};
  const std::vector<BlockColumn> layout = {{8, false}, {8, true}};
  for (std::size_t lo = 0; lo < values.size(); ++lo) {
    for (std::size_t hi = lo; hi <= values.size(); ++hi) {
      const auto got = round_trip(columns, layout, lo, hi);
      const std::vector<std::int64_t> want(values.begin() + static_cast<std::ptrdiff_t>(lo),
                                           values.begin() + static_cast<std::ptrdiff_t>(hi));
      ASSERT_EQ(got[0], want) << lo << ".." << hi;
      ASSERT_EQ(got[1], want) << lo << ".." << hi;
    }
  }
}

TEST(IndexBlock, ColumnsTakeTheFewestBytesTheirSpreadNeeds) {
  const std::vector<std::vector<std::int64_t>> same = {std::vector<std::int64_t>(100, -5)};
  const std::vector<std::vector<std::int64_t>> bytes = {{1000, 1255, 1100}};
  const std::vector<BlockColumn> plain = {{8, false}};
  // head, width, ref: a column of one value stores nothing per row
  EXPECT_EQ(encode_block(same, plain, 0, 100).size(), 4u + 1u + 1u);
  EXPECT_EQ(encode_block(bytes, plain, 0, 3).size(), 4u + 1u + 2u + 3u);
  // a counter stored as its differences: a byte a row, whatever its size
  std::vector<std::vector<std::int64_t>> counter(1);
  for (std::int64_t i = 0; i < 50; ++i) counter[0].push_back(kMax / 2 + 3 * i);
  const std::vector<BlockColumn> delta = {{8, true}};
  EXPECT_LT(encode_block(counter, delta, 0, 50).size(), 4u + 1u + 1u + 10u + 50u + 1u);
  EXPECT_EQ(round_trip(counter, delta, 0, 50)[0], counter[0]);
}

TEST(IndexBlock, UnlikeColumnsAreRefused) {
  const std::vector<std::vector<std::int64_t>> columns = {{1, 2, 3}, {1, 2}};
  const std::vector<BlockColumn> layout = {{8, false}, {8, false}};
  EXPECT_THROW(encode_block(columns, layout, 0, 3), std::invalid_argument);
  EXPECT_THROW(encode_block(columns, {layout.data(), 1}, 0, 2), std::invalid_argument);
}

// Rows of one thread, grouped by key: (key, node, parent, depth, start).
struct Row {
  std::size_t key;
  std::int64_t node, parent;
  std::int32_t depth;
  double start;
};

CallRows rows_of(const std::vector<Row>& rows, std::size_t keys) {
  CallRows out;
  for (std::size_t k = 0; k < keys; ++k) {
    out.keys.emplace_back("f", "a.py");
    for (const Row& row : rows) {
      if (row.key != k) continue;
      out.seq.push_back(0);
      out.node.push_back(row.node);
      out.parent.push_back(row.parent);
      out.depth.push_back(row.depth);
      out.line.push_back(1);
      out.start.push_back(row.start);
      out.end.push_back(row.start + 1);
      out.outcome.push_back(0);
      out.exc.push_back(-1);
      out.folded.push_back(-1);
      out.open_pos.push_back(10 * row.node);
      out.open_len.push_back(5);
      out.close_pos.push_back(10 * row.node + 5);
      out.close_len.push_back(5);
    }
    out.group_ends.push_back(out.seq.size());
  }
  // the walk: node order
  std::vector<std::size_t> walk(out.seq.size());
  for (std::size_t r = 0; r < walk.size(); ++r) walk[r] = r;
  std::sort(walk.begin(), walk.end(),
            [&](std::size_t a, std::size_t b) { return out.node[a] < out.node[b]; });
  out.walk = walk;
  return out;
}

// Column `c` of an encoded index, all its blocks read back (layout as call_columns writes it).
std::vector<std::int64_t> column_of(const EncodedIndex& index, std::size_t c) {
  const std::vector<BlockColumn> layout = {
      {8, true},  {8, false}, {8, true},  {8, false}, {8, false}, {8, false}, {8, true},
      {8, false}, {8, false}, {8, false}, {8, false}, {8, true},  {8, false}};
  std::vector<std::int64_t> out;
  for (const std::string& block : index.blocks) {
    const auto bytes =
        std::span(reinterpret_cast<const std::uint8_t*>(block.data()), block.size());
    const auto got = as_int64(decode_block(bytes, layout, 0, block_rows(bytes))[c]);
    out.insert(out.end(), got.begin(), got.end());
  }
  return out;
}

TEST(CallColumns, NamesGoByIdAndEachNamesCallsByStartWithNoneLast) {
  // key 0 (id 9): started at 5, none, 3; key 1 (id 2): one call
  const CallRows rows = rows_of({{0, 1, 0, 0, 5.0}, {0, 2, 0, 0, kNaN}, {0, 3, 0, 0, 3.0},
                                 {1, 4, 0, 0, 4.0}},
                                2);
  const std::vector<std::int64_t> ids = {9, 2};
  const EncodedIndex index = encode_call_index(rows, ids, IndexShape{2, 4, 1.0 / 1024});
  ASSERT_EQ(index.why, nullptr);
  EXPECT_EQ(index.total, 4);
  EXPECT_EQ(index.blocks.size(), 2u);  // two rows a block
  EXPECT_EQ(column_of(index, 0), (std::vector<std::int64_t>{2, 9, 9, 9}));
  EXPECT_EQ(column_of(index, 2), (std::vector<std::int64_t>{4, 3, 1, 2}));
  ASSERT_EQ(index.summary.size(), 2u);
  EXPECT_EQ(index.summary[0].key, 1u);
  EXPECT_EQ(index.summary[1].first_row, 1);
  EXPECT_EQ(index.summary[1].calls, 3);
  EXPECT_EQ(index.base, 3.0);
  const std::vector<std::int64_t> starts = column_of(index, 6);
  EXPECT_EQ(starts[3], -1);  // no start
  EXPECT_EQ(starts[1], 0);   // the earliest, at the base
}

TEST(CallColumns, ParentsTheNeighboursImplyAreLeftOutAtAnyDepth) {
  // a chain at depths 0, 1, 2; a call whose parent is not the one implied; and
  // depths far beyond any real stack, kept apart from the near ones
  const std::int32_t far = 1 << 20;
  const CallRows rows = rows_of({{0, 1, 0, 0, 1.0},
                                 {0, 2, 1, 1, 2.0},
                                 {0, 3, 2, 2, 3.0},
                                 {0, 4, 1, 2, 4.0},
                                 {0, 5, 0, far, 5.0},
                                 {0, 6, 5, far + 1, 6.0},
                                 {0, 7, 0, far + 1, 7.0}},
                                1);
  const std::vector<std::int64_t> ids = {1};
  const EncodedIndex index = encode_call_index(rows, ids, IndexShape{1024, 4, 1.0 / 1024});
  ASSERT_EQ(index.why, nullptr);
  // node less parent, 0 where the parent is implied
  EXPECT_EQ(column_of(index, 3), (std::vector<std::int64_t>{0, 0, 0, 3, 5, 0, 7}));
}

TEST(CallColumns, RowsAndNamesOfUnlikeCountsGiveNoBlocks) {
  const CallRows rows = rows_of({{0, 1, 0, 0, 1.0}}, 1);
  const std::vector<std::int64_t> two = {1, 2};
  EXPECT_NE(encode_call_index(rows, two, IndexShape{}).why, nullptr);
  CallRows broken = rows;
  broken.walk.push_back(7);
  const std::vector<std::int64_t> one = {1};
  EXPECT_NE(encode_call_index(broken, one, IndexShape{}).why, nullptr);
}

}  // namespace
}  // namespace vask::scan
