// The calls index of one trace document as it is written
// (vask.storage.callindex): its rows (call_rows) ordered by name and then by
// start, turned into the stored columns (times in ticks, parents left out
// where their neighbours imply them, the closing record by its distance from
// the opening one) and cut into blocks of index_block.hpp's layout, ready to
// be compressed.  Without Python objects: it runs with the GIL released.
//
// Invariants:
//   * the blocks are byte for byte those the package's own writer
//     (callindex._encode_raw) makes of the same rows, and the facts (base,
//     tick, summary) those it computes: a trace is indexed alike whichever
//     of the two wrote it;
//   * a value that the columns cannot hold (a time whose ticks pass 63
//     bits) gives no blocks at all, and `why` says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "scan/call_rows.hpp"

namespace vask::scan {

struct IndexShape {
  std::size_t block_rows = 1024;  // rows per block
  std::int64_t start_ticks = 4;   // ticks per step of a start
  double finest_tick = 0;         // the finest tick of times, in seconds
};

struct EncodedIndex {
  struct Summary {
    std::size_t key = 0;  // as CallRows numbers it
    std::int64_t calls = 0, raised = 0;
    std::int64_t longest = -1;  // the longest duration in ticks, -1 when none is known
    std::int64_t first_row = 0;
  };
  bool has_first = false;  // whether any row has a start
  double first = 0;        // the earliest start
  double base = 0;         // the starts' origin: the earliest start rounded down
  double tick = 0;         // the trace's tick of times
  std::int64_t total = 0, raised = 0;
  std::int64_t longest = -1, longest_raised = -1;  // in ticks
  std::vector<Summary> summary;     // one per name, in the order of their ids
  std::vector<std::string> blocks;  // uncompressed
  const char* why = nullptr;        // set when there are no blocks: why not
};

// The index of `rows`, the name of key k being `ids[k]` (distinct ids, one per key).
EncodedIndex encode_call_index(const CallRows& rows, std::span<const std::int64_t> ids,
                               const IndexShape& shape);

}  // namespace vask::scan
