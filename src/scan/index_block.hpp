// The calls index's column blocks (vask.storage.callindex): written from
// columns of 64-bit values (before the zstd frame that holds them), and read
// back, once decompressed, into plain fixed-width columns, without Python
// objects (so that both run with the GIL released).
//
// A block is a little-endian uint32 row count, then each column in turn:
//
//   u8 width         bytes per stored value, 0 to 8 (0: every value is `ref`)
//   varint ref       zigzag LEB128, the value every stored one is added to
//   varint first     (a delta-coded column only) zigzag LEB128, row 0's value
//   count * width    the stored values, unsigned little-endian, with their
//                    bytes grouped by place (every value's first byte, then
//                    every second byte ...)
//
// A plain column's value is `ref + stored`.  A delta-coded column holds the
// differences between neighbours: row 0 is `first`, row r after it is row
// r - 1 plus `ref + stored[r]` (stored[0] is not read).
//
// Invariants:
//   * every read stays inside the block: a block shorter than its columns
//     need, or rows outside it, is refused (std::invalid_argument);
//   * sums wrap modulo 2^64 and a value is narrowed to its column's width
//     as two's-complement values are: a block written from values that fit
//     its columns reads back as those values, whatever their sign.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vask::scan {

struct BlockColumn {
  std::uint8_t width = 8;  // of the values read out: 1, 2, 4 or 8 bytes
  bool delta = false;
};

// Rows [lo, hi) of `columns` (each of the same length, one per column of
// `layout`, whose widths are not read) as one block, uncompressed.  The
// writer's differences and sums wrap modulo 2^64, as the reader's do.
std::string encode_block(std::span<const std::vector<std::int64_t>> columns,
                         std::span<const BlockColumn> layout, std::size_t lo, std::size_t hi);

// The row count a block's head gives; throws std::invalid_argument when the
// block is shorter than its head.
std::uint32_t block_rows(std::span<const std::uint8_t> block);

// Rows [lo, hi) of every column of `layout`, each as `width`-byte values in
// the machine's byte order, one string per column.
std::vector<std::string> decode_block(std::span<const std::uint8_t> block,
                                      std::span<const BlockColumn> layout, std::size_t lo,
                                      std::size_t hi);

// The same of blocks read one after another as one run of rows (a trace's
// consecutive blocks): rows [lo, hi) counted from the first block's first
// row.  Only the blocks holding those rows are decoded.
std::vector<std::string> decode_blocks(std::span<const std::span<const std::uint8_t>> blocks,
                                       std::span<const BlockColumn> layout, std::size_t lo,
                                       std::size_t hi);

// The same of several runs [lo, hi) of those rows, one after another (the rows
// of a few names of a trace, without the rows between them).
struct RowRange {
  std::size_t lo = 0;
  std::size_t hi = 0;
};
std::vector<std::string> decode_blocks(std::span<const std::span<const std::uint8_t>> blocks,
                                       std::span<const BlockColumn> layout,
                                       std::span<const RowRange> ranges);

}  // namespace vask::scan
