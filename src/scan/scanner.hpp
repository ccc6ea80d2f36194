// The document scanner: one pass over the records of a stored trace
// document's "frames" array that measures every record and reads the few
// facts a trace index needs from the head of those in the engines' own
// layout, without decoding values and without touching Python objects (so
// that it runs with the GIL released).
//
// Invariants:
//   * every read stays inside the span given, and inside the record being
//     read: damaged bytes stop the scan (Stop::Malformed), never crash it;
//   * a record is reported only once all its bytes are in the span; an
//     incomplete one stops the scan (Stop::Incomplete) before it;
//   * the facts of a record are those a reader that decodes it finds, for
//     records in the engines' layout; any other record is marked kSlow and
//     left to the caller to decode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vask::scan {

// Record codes: the frame events in the engines' order, then "another
// event", then "not in the engines' layout: decode it".
inline constexpr std::uint8_t kOtherEvent = 9;
inline constexpr std::uint8_t kSlow = 255;

// The longest record the scanner measures; a longer one stops it as
// malformed (the caller's own reader then decides).
inline constexpr std::size_t kMaxRecord = std::size_t{1} << 30;
// The deepest nesting the scanner measures (below the decoders' own limits).
inline constexpr std::size_t kMaxDepth = 512;

// The unsigned big-endian number of `n` bytes (at most 8) at `p`.
inline std::uint64_t be(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

// The text (or nil: an empty text) whose MessagePack header is at `p`, inside
// [p, end): its bytes are [t0, t1). False when no whole text starts there.
inline bool text_at(std::span<const std::uint8_t> d, std::size_t p, std::size_t end,
                    std::size_t& t0, std::size_t& t1) noexcept {
  if (p >= end) return false;
  const std::uint8_t b = d[p];
  std::size_t head = 0;
  std::uint64_t n = 0;
  if (b >= 0xa0 && b <= 0xbf) {
    head = 1;
    n = b & 0x1f;
  } else if (b == 0xc0) {
    t0 = t1 = p + 1;
    return true;
  } else if (b >= 0xd9 && b <= 0xdb) {
    const std::size_t width = std::size_t{1} << (b - 0xd9);
    if (end - p < 1 + width) return false;
    head = 1 + width;
    n = be(d.data() + p + 1, width);
  } else {
    return false;
  }
  if (end - p < head || n > end - p - head) return false;
  t0 = p + head;
  t1 = t0 + static_cast<std::size_t>(n);
  return true;
}

enum class Stop : std::uint8_t {
  Count = 0,       // the records asked for were all read
  Incomplete = 1,  // the next record does not end inside the span
  Malformed = 2,   // the next record is not a MessagePack object the scanner measures
};

// Per record, column by column; offsets are positions in the span.
struct Columns {
  std::vector<std::int64_t> ends;
  std::vector<std::uint8_t> codes;
  std::vector<double> times;  // NaN: none, or none any clock shows
  // Per record six offsets: frame id text [0,1), name key [2,3) (the bytes
  // from the end of the path to the end of the qualified name), the text of
  // the path after its last ':' [4,5). All zero for a kSlow record.
  std::vector<std::int64_t> spans;
};

struct ScanResult {
  Columns columns;
  std::size_t next = 0;  // where the first record not read starts
  Stop stop = Stop::Count;
};

// The head of a record up to its frame id when it has the engines' frame
// layout (code kSlow, every span empty, when it does not). Texts are offsets
// in the bytes read, [begin, end) of the text itself, without its header.
struct FramePrefix {
  std::uint8_t code = kSlow;
  std::pair<std::size_t, std::size_t> path{}, co_name{}, qualname{}, frame_id{};
  // whether "qualname" and "co_name" hold texts (not nil)
  bool qualname_text = false, co_name_text = false;
};

// What the head of one record says when it has the engines' frame layout,
// its time included (code kSlow, every span empty, when it does not).
struct FrameHead : FramePrefix {
  double time = std::numeric_limits<double>::quiet_NaN();  // none, or none any clock shows
  // as Columns::spans: frame id text, name key, path text after its last ':'
  std::array<std::int64_t, 6> spans{};
};

// The head of the record [p, end) of `data` up to its frame id: the first five
// of its entries, "path", "co_name", "qualname", "event" and "frame_id". Reads
// nothing past the frame id: what counting calls needs, without the time.
FramePrefix frame_prefix(std::span<const std::uint8_t> data, std::size_t p,
                         std::size_t end) noexcept;

// The head of the record [p, end) of `data`: a map of 10 entries led by
// "path", "co_name", "qualname", "event" and "frame_id", its time the last
// float keyed "timestamp" (outside (earliest, latest): NaN).
FrameHead frame_head(std::span<const std::uint8_t> data, std::size_t p, std::size_t end,
                     double earliest, double latest) noexcept;

enum class Measured : std::uint8_t { Ok, Incomplete, Malformed };

// Measures the MessagePack object starting at `pos`; sets `end` when Ok.
Measured measure(std::span<const std::uint8_t> data, std::size_t pos, std::size_t& end) noexcept;

// Reads up to `count` records starting at `start`. Times outside
// (earliest, latest) read as NaN.
ScanResult scan_records(std::span<const std::uint8_t> data, std::size_t start, std::size_t count,
                        double earliest, double latest);

// Per span (offset, length) of `data`: 1 when the span lies inside `data` and
// `needle` (not empty) is nowhere in it, else 0. A length of -1 stands for
// the MessagePack object at the offset, and -2 - gap for the one `gap` bytes
// after that object's end: 2 when it runs past the end of `data` (not known
// here), 0 when either is malformed. Other spans are read as given:
// one outside the data, or of a negative offset or length, gets 0.
std::vector<std::uint8_t> spans_lacking(std::span<const std::uint8_t> data,
                                        std::span<const std::uint8_t> needle,
                                        std::span<const std::int64_t> spans);

// Stored records with what differs on every run cut out, as a diff compares
// them: every frame id ("frm_" and 26 letters or digits), then every
// "timestamp" key with its float. Matches are removed leftmost first, without
// overlapping, the frame ids before the times.
std::string cut_frame_ids_and_times(std::string_view data);

}  // namespace vask::scan
