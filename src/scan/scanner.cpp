#include "scan/scanner.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace vask::scan {
namespace {

using Bytes = std::span<const std::uint8_t>;

bool has_at(Bytes d, std::size_t p, std::size_t end, std::string_view text) noexcept {
  return p <= end && end - p >= text.size() &&
         std::memcmp(d.data() + p, text.data(), text.size()) == 0;
}

// A frame event's code by its text header and third character; the six differ there.
constexpr std::array<std::string_view, 6> kEvents = {"call",   "return", "unwind",
                                                     "resume", "yield",  "throw"};

std::uint8_t event_code(std::uint8_t header, std::uint8_t third) noexcept {
  for (std::size_t i = 0; i < kEvents.size(); ++i) {
    if (header == 0xa0 + kEvents[i].size() && third == static_cast<std::uint8_t>(kEvents[i][2])) {
      return static_cast<std::uint8_t>(i);
    }
  }
  return kOtherEvent;
}

constexpr std::string_view kFrameHead{"\x8a\xa4path", 6};
constexpr std::string_view kCoName{"\247co_name", 8};  // octal: "c" is a hex digit
constexpr std::string_view kQualname{"\xa8qualname", 9};
constexpr std::string_view kEvent{"\245event", 6};
constexpr std::string_view kFrameId{"\250frame_id", 9};
constexpr std::string_view kTimestamp{"\xa9timestamp\xcb", 11};

}  // namespace

// The head of the record [p, end) up to its frame id: the map's first five
// entries, "path", "co_name", "qualname", "event" and "frame_id".
FramePrefix frame_prefix(Bytes d, std::size_t p, std::size_t end) noexcept {
  FramePrefix out;
  if (!has_at(d, p, end, kFrameHead)) return out;
  std::size_t q = p + kFrameHead.size();
  if (!text_at(d, q, end, out.path.first, out.path.second)) return out;
  q = out.path.second;
  if (!has_at(d, q, end, kCoName) ||
      !text_at(d, q + kCoName.size(), end, out.co_name.first, out.co_name.second)) {
    return out;
  }
  out.co_name_text = d[q + kCoName.size()] != 0xc0;
  q = out.co_name.second;
  if (!has_at(d, q, end, kQualname) ||
      !text_at(d, q + kQualname.size(), end, out.qualname.first, out.qualname.second)) {
    return out;
  }
  out.qualname_text = d[q + kQualname.size()] != 0xc0;
  q = out.qualname.second;
  if (!has_at(d, q, end, kEvent)) return out;
  q += kEvent.size();
  if (q >= end || d[q] < 0xa0 || d[q] > 0xbf) return out;
  const std::size_t event_len = d[q] & 0x1f;
  if (end - q < 1 + event_len) return out;
  const std::uint8_t code = event_len >= 3 ? event_code(d[q], d[q + 3]) : kOtherEvent;
  q += 1 + event_len;
  if (!has_at(d, q, end, kFrameId) ||
      !text_at(d, q + kFrameId.size(), end, out.frame_id.first, out.frame_id.second)) {
    return out;
  }
  out.code = code;
  return out;
}

// The facts of the record [p, end) when it has the engines' frame layout:
// a map of 10 entries led by "path", "co_name", "qualname", "event" and
// "frame_id", its time the last float keyed "timestamp".
FrameHead frame_head(Bytes d, std::size_t p, std::size_t end, double earliest,
                     double latest) noexcept {
  FrameHead out;
  const FramePrefix head = frame_prefix(d, p, end);
  if (head.code == kSlow) return out;
  const std::size_t q = head.frame_id.second;
  // the last "timestamp" key, its whole float inside the record
  if (end - q < kTimestamp.size() + 8) return out;
  std::size_t t = end - kTimestamp.size() - 8;
  const std::size_t last = end - kTimestamp.size();
  // a key ending within the last 8 bytes cannot hold a whole float: searched from the end,
  // the first match found also ends furthest
  // (each candidate found by its first byte: memrchr is vectorised, a memcmp per byte is not)
  for (std::size_t below = last + 1; below > q;) {
    const void* hit = ::memrchr(d.data() + q, kTimestamp[0], below - q);
    if (hit == nullptr) break;
    const std::size_t at =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - d.data());
    below = at;
    if (std::memcmp(d.data() + at, kTimestamp.data(), kTimestamp.size()) == 0) {
      if (at > t) return out;  // the last key leaves no room for its float
      t = at;
      const std::uint64_t bits = be(d.data() + t + kTimestamp.size(), 8);
      const double ts = std::bit_cast<double>(bits);
      out.time = (earliest < ts && ts < latest) ? ts : std::numeric_limits<double>::quiet_NaN();
      static_cast<FramePrefix&>(out) = head;
      const std::size_t path_end = head.path.second, name_end = head.qualname.second;
      // the text of the path after its last ':' (the whole path text, header included, if none)
      std::size_t l0 = p + kFrameHead.size();
      for (std::size_t c = path_end; c-- > l0;) {
        if (d[c] == ':') {
          l0 = c + 1;
          break;
        }
      }
      out.spans = {static_cast<std::int64_t>(head.frame_id.first),
                   static_cast<std::int64_t>(head.frame_id.second),
                   static_cast<std::int64_t>(path_end),
                   static_cast<std::int64_t>(name_end),
                   static_cast<std::int64_t>(l0),
                   static_cast<std::int64_t>(path_end)};
      return out;
    }
  }
  return out;
}

Measured measure(Bytes d, std::size_t pos, std::size_t& end) noexcept {
  // items still to read in each open container, innermost last
  std::array<std::uint64_t, kMaxDepth> pending;  // read only where written: left uninitialised
  std::size_t depth = 0;
  std::size_t p = pos;
  const std::size_t size = d.size();
  for (;;) {
    if (p >= size) return Measured::Incomplete;
    if (p - pos > kMaxRecord) return Measured::Malformed;
    const std::uint8_t b = d[p];
    std::size_t head = 1;       // header bytes
    std::uint64_t payload = 0;  // bytes after the header
    std::uint64_t items = 0;    // objects inside (containers)
    std::size_t width = 0;      // bytes of a length field after the type byte
    std::size_t extra = 0;      // fixed bytes after the length field (ext type)
    if (b <= 0x7f || b >= 0xe0 || b == 0xc0 || b == 0xc2 || b == 0xc3) {
    } else if (b <= 0x8f) {
      items = 2 * std::uint64_t{b & 0x0fu};
    } else if (b <= 0x9f) {
      items = b & 0x0fu;
    } else if (b <= 0xbf) {
      payload = b & 0x1fu;
    } else {
      switch (b) {
        case 0xc4:
        case 0xd9:
          width = 1;
          break;
        case 0xc5:
        case 0xda:
          width = 2;
          break;
        case 0xc6:
        case 0xdb:
          width = 4;
          break;
        case 0xc7:
          width = 1;
          extra = 1;
          break;
        case 0xc8:
          width = 2;
          extra = 1;
          break;
        case 0xc9:
          width = 4;
          extra = 1;
          break;
        case 0xca:
          payload = 4;
          break;
        case 0xcb:
          payload = 8;
          break;
        case 0xcc:
        case 0xd0:
          payload = 1;
          break;
        case 0xcd:
        case 0xd1:
          payload = 2;
          break;
        case 0xce:
        case 0xd2:
          payload = 4;
          break;
        case 0xcf:
        case 0xd3:
          payload = 8;
          break;
        case 0xd4:
          payload = 2;
          break;
        case 0xd5:
          payload = 3;
          break;
        case 0xd6:
          payload = 5;
          break;
        case 0xd7:
          payload = 9;
          break;
        case 0xd8:
          payload = 17;
          break;
        case 0xdc:
          width = 2;
          break;
        case 0xdd:
          width = 4;
          break;
        case 0xde:
          width = 2;
          break;
        case 0xdf:
          width = 4;
          break;
        default:
          return Measured::Malformed;  // 0xc1, never used
      }
      if (width != 0) {
        if (size - p < 1 + width) return Measured::Incomplete;
        const std::uint64_t n = be(d.data() + p + 1, width);
        head = 1 + width + extra;
        if (b >= 0xdc && b <= 0xdd) {
          items = n;
        } else if (b >= 0xde) {
          items = 2 * n;
        } else {
          payload = n;
        }
      }
    }
    if (size - p < head || payload > size - p - head) return Measured::Incomplete;
    p += head + static_cast<std::size_t>(payload);
    if (items != 0) {
      if (depth == kMaxDepth) return Measured::Malformed;
      pending[depth++] = items;
      continue;
    }
    // an object ended: so may the containers it closes
    while (depth != 0 && --pending[depth - 1] == 0) --depth;
    if (depth == 0) {
      if (p - pos > kMaxRecord) return Measured::Malformed;
      end = p;
      return Measured::Ok;
    }
  }
}

ScanResult scan_records(Bytes data, std::size_t start, std::size_t count, double earliest,
                        double latest) {
  ScanResult out;
  Columns& c = out.columns;
  const std::size_t guess = count < 4096 ? count : 4096;
  c.ends.reserve(guess);
  c.codes.reserve(guess);
  c.times.reserve(guess);
  c.spans.reserve(guess * 6);
  std::size_t p = start;
  out.stop = Stop::Count;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t end = 0;
    const Measured m = p > data.size() ? Measured::Incomplete : measure(data, p, end);
    if (m != Measured::Ok) {
      out.stop = m == Measured::Incomplete ? Stop::Incomplete : Stop::Malformed;
      break;
    }
    const FrameHead f = frame_head(data, p, end, earliest, latest);
    c.ends.push_back(static_cast<std::int64_t>(end));
    c.codes.push_back(f.code);
    c.times.push_back(f.time);
    c.spans.insert(c.spans.end(), f.spans.begin(), f.spans.end());
    p = end;
  }
  out.next = p;
  return out;
}

namespace {

// Appends `text` with every non-overlapping match of `head` followed by
// `tail` bytes that `fits` accepts removed, matches taken leftmost first.
template <class Fits>
std::string cut_all(std::string_view text, std::string_view head, std::size_t tail, Fits fits) {
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;  // copied up to here
  std::size_t at = 0;    // searched from here
  for (;;) {
    const std::size_t found = text.find(head, at);
    if (found == std::string_view::npos) break;
    const std::size_t stop = found + head.size() + tail;
    if (stop <= text.size() && fits(text.substr(found + head.size(), tail))) {
      out.append(text.substr(from, found - from));
      from = at = stop;
    } else {
      at = found + 1;
    }
  }
  out.append(text.substr(from));
  return out;
}

bool alnum(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::vector<std::uint8_t> spans_lacking(Bytes data, Bytes needle,
                                        std::span<const std::int64_t> spans) {
  const std::size_t count = spans.size() / 2;
  std::vector<std::uint8_t> out(count, 0);
  if (needle.empty()) return out;
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t at = spans[2 * k];
    const std::int64_t n = spans[2 * k + 1];
    if (n < 0 && at >= 0 && static_cast<std::uint64_t>(at) < data.size()) {
      // -1: the object at `at`; -2 - gap: the object `gap` bytes after its end
      std::size_t begin = static_cast<std::size_t>(at);
      std::size_t end = 0;
      Measured measured = measure(data, begin, end);
      if (measured == Measured::Ok && n < -1) {
        const auto gap = static_cast<std::uint64_t>(-2 - n);
        if (gap >= data.size() - end) {
          out[k] = 2;
          continue;
        }
        begin = end + static_cast<std::size_t>(gap);
        measured = measure(data, begin, end);
      }
      if (measured == Measured::Incomplete) {
        out[k] = 2;
        continue;
      }
      if (measured != Measured::Ok) continue;
      out[k] = ::memmem(data.data() + begin, end - begin, needle.data(), needle.size()) == nullptr
                   ? 1
                   : 0;
      continue;
    }
    if (at < 0 || n < 0 || static_cast<std::uint64_t>(at) > data.size() ||
        static_cast<std::uint64_t>(n) > data.size() - static_cast<std::size_t>(at)) {
      continue;
    }
    // glibc's memmem: a vectorised first-byte scan, the two-way search beyond it
    out[k] = ::memmem(data.data() + at, static_cast<std::size_t>(n), needle.data(),
                      needle.size()) == nullptr
                 ? 1
                 : 0;
  }
  return out;
}

std::string cut_frame_ids_and_times(std::string_view data) {
  const std::string without_ids = cut_all(data, "frm_", 26, [](std::string_view id) {
    for (const char c : id) {
      if (!alnum(c)) return false;
    }
    return true;
  });
  return cut_all(without_ids, kTimestamp, 8, [](std::string_view) { return true; });
}

}  // namespace vask::scan
