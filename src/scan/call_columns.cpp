#include "scan/call_columns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>
#include <unordered_map>

#include "scan/index_block.hpp"

namespace vask::scan {
namespace {

// The columns in the order the package writes them (callindex._COLUMNS):
// name+, thread, node+, parent, depth, line, start+, duration, outcome, exc,
// folded, open_pos+, close_after.
enum Column : std::size_t {
  kName, kThread, kNode, kParent, kDepth, kLine, kStart, kDuration, kOutcome, kExc, kCount,
  kOpenPos, kCloseAfter, kColumns
};
constexpr BlockColumn kLayout[kColumns] = {
    {4, true},  {4, false}, {8, true},  {8, false}, {4, false}, {4, false}, {8, true},
    {8, false}, {1, false}, {4, false}, {8, false}, {8, true},  {8, false}};

// Python's math.ulp of a magnitude: the spacing of doubles there.
double ulp(double x) {
  if (std::isnan(x) || std::isinf(x)) return x;
  const double up = std::nextafter(x, HUGE_VAL);
  return std::isinf(up) ? x - std::nextafter(x, 0.0) : up - x;
}

// Python's round() of a double to a whole number of 64 bits (halves to even,
// as nearbyint in the default rounding mode); false when it does not fit.
bool rounded(double x, std::int64_t& out) {
  const double r = std::nearbyint(x);
  // 2^63 is the first double past int64's range
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return false;
  out = static_cast<std::int64_t>(r);
  return true;
}

bool started(double start) { return !std::isnan(start) && start != HUGE_VAL; }

}  // namespace

EncodedIndex encode_call_index(const CallRows& rows, std::span<const std::int64_t> ids,
                               const IndexShape& shape) {
  EncodedIndex out;
  const std::size_t keys = ids.size();
  const std::size_t count = rows.seq.size();
  if (keys != rows.keys.size() || rows.group_ends.size() != keys || rows.walk.size() != count ||
      rows.folded.size() != count || shape.block_rows == 0) {
    out.why = "rows and names of unlike counts";
    return out;
  }
  const auto& start = rows.start;
  const auto& end = rows.end;

  // the trace's times: its base, from the earliest start, and its tick
  double largest = 0;
  for (std::size_t r = 0; r < count; ++r) {
    if (started(start[r])) {
      if (!out.has_first || start[r] < out.first) out.first = start[r];
      out.has_first = true;
      largest = std::max(largest, std::fabs(start[r]));
    }
    if (std::isfinite(end[r])) largest = std::max(largest, std::fabs(end[r]));
  }
  if (out.has_first) {
    if (!std::isfinite(out.first)) {
      out.why = "a start past the index's columns";
      return out;
    }
    out.base = std::floor(out.first);
  }
  out.tick = std::max(ulp(largest), shape.finest_tick);
  const double step = out.tick * static_cast<double>(shape.start_ticks);

  // names in the order of their ids; within each, rows by start (none last),
  // then thread and node: most already are
  std::vector<std::size_t> names(keys);
  std::iota(names.begin(), names.end(), 0);
  std::sort(names.begin(), names.end(),
            [&](std::size_t a, std::size_t b) { return ids[a] < ids[b]; });
  auto before = [&](std::size_t a, std::size_t b) {
    const double sa = std::isnan(start[a]) ? HUGE_VAL : start[a];
    const double sb = std::isnan(start[b]) ? HUGE_VAL : start[b];
    return std::tie(sa, rows.seq[a], rows.node[a]) < std::tie(sb, rows.seq[b], rows.node[b]);
  };
  std::vector<std::size_t> every;  // the rows in the blocks' order
  every.reserve(count);
  std::vector<std::pair<std::size_t, std::size_t>> stretch(keys);  // of `every`, per key
  for (const std::size_t k : names) {
    const std::size_t lo = k == 0 ? 0 : rows.group_ends[k - 1];
    const std::size_t hi = rows.group_ends[k];
    if (lo > hi || hi > count) {
      out.why = "rows and names of unlike counts";
      return out;
    }
    const auto from = static_cast<std::ptrdiff_t>(every.size());
    for (std::size_t r = lo; r < hi; ++r) every.push_back(r);
    const bool ordered = std::none_of(every.begin() + from, every.end(),
                                      [&](std::size_t r) { return std::isnan(start[r]); }) &&
                         std::is_sorted(every.begin() + from, every.end(), before);
    if (!ordered) std::stable_sort(every.begin() + from, every.end(), before);
    stretch[k] = {static_cast<std::size_t>(from), every.size()};
  }

  // The parent each row's neighbours imply: the last row of its thread before
  // it in node order one level up (node 0 at depth 0), -1 when there is none.
  std::vector<std::int64_t> implied(count, -1);
  {
    std::unordered_map<std::int64_t, std::int64_t> far;  // depths outside `near`
    std::vector<std::int64_t> near;                      // by depth, this thread's
    std::vector<std::size_t> near_set;                   // the depths set in `near`
    std::int32_t thread = -1;
    for (const std::size_t r : rows.walk) {
      if (r >= count) {
        out.why = "rows and names of unlike counts";
        return out;
      }
      if (rows.seq[r] != thread) {
        for (const std::size_t d : near_set) near[d] = -1;
        near_set.clear();
        far.clear();
        thread = rows.seq[r];
      }
      const std::int32_t depth = rows.depth[r];
      const std::int64_t up = static_cast<std::int64_t>(depth) - 1;
      if (depth == 0) {
        implied[r] = 0;
      } else if (up >= 0 && static_cast<std::uint64_t>(up) < near.size()) {
        implied[r] = near[static_cast<std::size_t>(up)];
      } else if (const auto found = far.find(up); found != far.end()) {
        implied[r] = found->second;
      }
      if (depth >= 0 && depth < (1 << 16)) {
        const auto d = static_cast<std::size_t>(depth);
        if (d >= near.size()) near.resize(d + 1, -1);
        near[d] = rows.node[r];
        near_set.push_back(d);
      } else {
        far[depth] = rows.node[r];
      }
    }
  }

  // the columns, name by name
  std::vector<std::vector<std::int64_t>> columns(kColumns, std::vector<std::int64_t>(count));
  for (const std::size_t k : names) {
    const auto [lo, hi] = stretch[k];
    if (lo == hi) continue;
    EncodedIndex::Summary& summary = out.summary.emplace_back();
    summary.key = k;
    summary.calls = static_cast<std::int64_t>(hi - lo);
    summary.first_row = static_cast<std::int64_t>(lo);
    for (std::size_t at = lo; at < hi; ++at) {
      const std::size_t r = every[at];
      std::int64_t duration = -1;
      const double spent = end[r] - start[r];
      if (end[r] >= start[r] && std::isfinite(spent) && !rounded(spent / out.tick, duration)) {
        out.why = "a duration past the index's columns";
        return out;
      }
      std::int64_t begun = -1;
      if (std::isfinite(start[r]) && !rounded((start[r] - out.base) / step, begun)) {
        out.why = "a start past the index's columns";
        return out;
      }
      const bool raised = rows.outcome[r] == kRaised;
      if (duration >= 0) {
        summary.longest = std::max(summary.longest, duration);
        out.longest = std::max(out.longest, duration);
        if (raised) out.longest_raised = std::max(out.longest_raised, duration);
      }
      summary.raised += raised;
      const std::int64_t node = rows.node[r], parent = rows.parent[r];
      const std::int64_t open = rows.open_pos[r], close = rows.close_pos[r];
      columns[kName][at] = ids[k];
      columns[kThread][at] = rows.seq[r];
      columns[kNode][at] = node;
      columns[kParent][at] = parent == implied[r] ? 0 : node - parent;
      columns[kDepth][at] = rows.depth[r];
      columns[kLine][at] = rows.line[r];
      columns[kStart][at] = begun;
      columns[kDuration][at] = duration;
      columns[kOutcome][at] = rows.outcome[r];
      columns[kExc][at] = rows.exc[r];
      columns[kCount][at] = rows.folded[r];
      columns[kOpenPos][at] = open;
      columns[kCloseAfter][at] = close >= 0 && open >= 0 ? close - open - rows.open_len[r] : close;
    }
    out.raised += summary.raised;
  }
  out.total = static_cast<std::int64_t>(count);
  for (std::size_t lo = 0; lo < count; lo += shape.block_rows) {
    const std::size_t hi = std::min(lo + shape.block_rows, count);
    out.blocks.push_back(encode_block(columns, kLayout, lo, hi));
  }
  return out;
}

}  // namespace vask::scan
