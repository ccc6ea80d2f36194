// The calls index's rows of one trace document, read natively: the call
// trees the trace index makes (vask.traceindex), numbered as it numbers
// them, and per call what the calls index keeps (vask.storage.callindex),
// without decoding values and without touching Python objects.
//
// The records' extents come from the document's records' table (what the
// engines' core writes with each document, see utils/trace.hpp) when there
// is one, so that no record is measured; without one each is measured.
//
// Invariants:
//   * rows are made only from records in the engines' own layout; anything
//     the trace index would have to decode to place (a frame record not in
//     that layout, an exception stored in an unusual form, a table that
//     does not match the document) gives no rows at all, and the document
//     is left to the trace index (`why` says what stopped it);
//   * every read stays inside the document: damaged bytes give no rows,
//     never a crash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace vask::scan {

// The key under which a store hands a document's records' table to the
// package, in the interpreter's per-thread dict: (document, table), for the
// length of the vask.db.save_trace call that stores the document.
inline constexpr const char* kHandedTableKey = "vask._handed_document_table";

// A row's outcome, as vask.storage.callindex numbers them (OUTCOME_NAMES).
inline constexpr std::int8_t kReturned = 0, kRaised = 1, kYielded = 2, kUnfinished = 3,
                             kFolded = 4;

struct CallRows {
  // Texts are views into the document (or static texts).
  struct Thread {
    std::string_view key;
    std::string_view name;  // the thread's "name" when a text, else its key
  };
  std::vector<Thread> threads;  // in the trace index's order (ordered_threads)
  // (qualified name, file) of each group of rows, in order of first use
  std::vector<std::pair<std::string_view, std::string_view>> keys;
  std::vector<std::size_t> group_ends;      // the rows of keys[k] end at group_ends[k]
  std::vector<std::string_view> exc_types;  // as `exc` numbers them, in order of first use
  // Per row (a call node, or a folded range's, of outcome kFolded), grouped by
  // key, in the order the trace index walks them within a group (threads in
  // order, then nodes in order), the folded ranges' after the calls'; their
  // keys after the calls' too.
  std::vector<std::int32_t> seq, depth, line, exc;
  std::vector<std::int64_t> node, parent, open_pos, open_len, close_pos, close_len;
  std::vector<double> start, end;
  std::vector<std::int8_t> outcome;
  std::vector<std::int64_t> folded;  // a folded range's count of calls; -1 for a call
  // The rows in the walk's order (threads in order, then nodes in order), as
  // their places in the groups.
  std::vector<std::size_t> walk;
  const char* why = nullptr;  // set when there are no rows: why not
};

// The rows of `document`. `table` is its records' table, or empty. Times
// outside (earliest, latest) read as none.
CallRows call_rows(std::span<const std::uint8_t> document, std::span<const std::uint8_t> table,
                   double earliest, double latest);

// The call records of `document`, counted as vask.document.CALL_PATTERN counts
// them, its records found by `table` (its records' table): a frame record in the
// engines' layout counts once when it is a call, without its values being looked
// into; any other bytes count each occurrence. Nothing when the table does not
// match the document.
std::optional<std::uint64_t> count_call_records(std::span<const std::uint8_t> document,
                                                std::span<const std::uint8_t> table) noexcept;

}  // namespace vask::scan
