#include "scan/call_rows.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "scan/scanner.hpp"

namespace vask::scan {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Record codes as the trace index keeps them (vask.traceindex): the frame
// events, then its own kinds of the records it decodes.
constexpr std::uint8_t kCall = 0, kReturn = 1, kUnwind = 2, kResume = 3, kYield = 4, kThrow = 5;
constexpr std::uint8_t kPlugin = 6, kFlushed = 7;

// Node kinds as the two Python modules number them.
constexpr std::uint8_t kNodeRoot = 0, kNodeCall = 1, kNodePlugin = 2, kNodeFlushed = 3;

// The extension types of stored values (vask.values): a repr, an object by its fields.
constexpr std::uint8_t kExtRepr = 1, kExtObject = 7;

// -- reading MessagePack headers inside [p, end) --------------------------------

bool map_header(Bytes d, std::size_t& p, std::size_t end, std::uint64_t& n) noexcept {
  if (p >= end) return false;
  const std::uint8_t b = d[p];
  if (b >= 0x80 && b <= 0x8f) {
    n = b & 0x0fu;
    p += 1;
    return true;
  }
  const std::size_t width = b == 0xde ? 2 : b == 0xdf ? 4 : 0;
  if (width == 0 || end - p < 1 + width) return false;
  n = be(d.data() + p + 1, width);
  p += 1 + width;
  return true;
}

bool array_header(Bytes d, std::size_t& p, std::size_t end, std::uint64_t& n) noexcept {
  if (p >= end) return false;
  const std::uint8_t b = d[p];
  if (b >= 0x90 && b <= 0x9f) {
    n = b & 0x0fu;
    p += 1;
    return true;
  }
  const std::size_t width = b == 0xdc ? 2 : b == 0xdd ? 4 : 0;
  if (width == 0 || end - p < 1 + width) return false;
  n = be(d.data() + p + 1, width);
  p += 1 + width;
  return true;
}

// A text (not nil) at p: its bytes, p moved past it.
bool text(Bytes d, std::size_t& p, std::size_t end, std::string_view& out) noexcept {
  std::size_t t0 = 0, t1 = 0;
  if (p >= end || d[p] == 0xc0 || !text_at(d, p, end, t0, t1)) return false;
  out = std::string_view(reinterpret_cast<const char*>(d.data() + t0), t1 - t0);
  p = t1;
  return true;
}

bool skip(Bytes d, std::size_t& p, std::size_t end) noexcept {
  std::size_t after = 0;
  if (measure(d.first(end), p, after) != Measured::Ok) return false;
  p = after;
  return true;
}

// An int (not a bool) at p, as MessagePack stores one; false for another
// value or one past 64 signed bits.
bool integer(Bytes d, std::size_t p, std::size_t end, std::int64_t& out) noexcept {
  if (p >= end) return false;
  const std::uint8_t b = d[p];
  if (b <= 0x7f || b >= 0xe0) {  // a positive or a negative fixint
    out = b <= 0x7f ? std::int64_t{b} : std::int64_t{static_cast<std::int8_t>(b)};
    return true;
  }
  if (b < 0xcc || b > 0xd3) return false;
  const bool sign = b >= 0xd0;
  const std::size_t n = std::size_t{1} << (b - (sign ? 0xd0 : 0xcc));
  if (end - p < 1 + n) return false;
  const std::uint64_t raw = be(d.data() + p + 1, n);
  if (sign) {
    const unsigned shift = static_cast<unsigned>(64 - 8 * n);
    out = static_cast<std::int64_t>(raw << shift) >> shift;
    return true;
  }
  if (raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
  out = static_cast<std::int64_t>(raw);
  return true;
}

// A number (an int or a float, not a bool) at p, as a double.
bool number(Bytes d, std::size_t p, std::size_t end, double& out) noexcept {
  if (p >= end) return false;
  const std::uint8_t b = d[p];
  if (b == 0xcb && end - p >= 9) {
    out = std::bit_cast<double>(be(d.data() + p + 1, 8));
    return true;
  }
  if (b == 0xca && end - p >= 5) {
    out = std::bit_cast<float>(static_cast<std::uint32_t>(be(d.data() + p + 1, 4)));
    return true;
  }
  if (b == 0xcf && end - p >= 9) {  // past int64 too
    out = static_cast<double>(be(d.data() + p + 1, 8));
    return true;
  }
  std::int64_t v = 0;
  if (!integer(d, p, end, v)) return false;
  out = static_cast<double>(v);
  return true;
}

// A number as vask.document.plausible_time reads it (NaN: none).
double plausible(Bytes d, std::size_t p, std::size_t end, double earliest, double latest) noexcept {
  double v = kNaN;
  return number(d, p, end, v) && earliest < v && v < latest ? v : kNaN;
}

// What the trace index makes of a record not in the engines' frame layout.
enum class Slow : std::uint8_t { Other, Plugin, Folded, Flushed, Frame };

// What the calls index reads of a folded range's record
// (vask.storage.callindex._folded_row_of).
struct FoldedFacts {
  std::string_view qualname, path;  // "?" and "" when not texts
  std::int64_t count = -1;          // -1 when not an int
  double start = kNaN, end = kNaN;  // end: start + "total_duration", when a number
  bool ascii = true;                // whether its texts are: else the trace index reads it
};

struct SlowFacts {
  Slow kind = Slow::Other;
  double time = kNaN;
  FoldedFacts folded;
};

bool ascii(std::string_view t) noexcept {
  return std::all_of(t.begin(), t.end(),
                     [](char c) { return static_cast<std::uint8_t>(c) < 0x80; });
}


SlowFacts slow_facts(Bytes d, std::size_t p, std::size_t end, double earliest, double latest) {
  SlowFacts out;
  std::uint64_t n = 0;
  if (!map_header(d, p, end, n)) return out;  // not a map: a record of no kind
  std::string_view type, event, qualname, co_name, path;
  bool typed = false, has_event = false, has_qualname = false, has_co_name = false;
  bool has_path = false, has_total = false;
  double total = 0, first = kNaN;
  std::int64_t count = -1;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::string_view key;
    if (!text(d, p, end, key)) {
      if (!skip(d, p, end) || !skip(d, p, end)) return {Slow::Frame, kNaN, {}};  // not readable
      continue;
    }
    const std::size_t value = p;
    if (!skip(d, p, end)) return {Slow::Frame, kNaN, {}};
    std::size_t at = value;
    // a key given twice counts as its last value, as when the record is decoded
    if (key == "type") {
      typed = text(d, at, p, type);
    } else if (key == "event") {
      has_event = text(d, at, p, event);
    } else if (key == "timestamp") {
      out.time = plausible(d, value, p, earliest, latest);
    } else if (key == "qualname") {
      has_qualname = text(d, at, p, qualname);
    } else if (key == "co_name") {
      has_co_name = text(d, at, p, co_name);
    } else if (key == "path") {
      has_path = text(d, at, p, path);
    } else if (key == "count") {
      if (!integer(d, value, p, count)) count = -1;
    } else if (key == "total_duration") {
      has_total = number(d, value, p, total);
    } else if (key == "first_timestamp") {
      first = plausible(d, value, p, earliest, latest);
    }
  }
  if (!typed) return out;
  if (type == "frame") {
    // an assignment or another event places nothing; a frame event would
    // need the index's own naming
    static constexpr std::array<std::string_view, 6> kEvents = {"call",   "return", "unwind",
                                                                "resume", "yield",  "throw"};
    if (has_event && std::find(kEvents.begin(), kEvents.end(), event) != kEvents.end()) {
      out.kind = Slow::Frame;
    }
    return out;
  }
  out.kind = type == "subtree_flushed" ? Slow::Flushed
             : type == "folded"        ? Slow::Folded
                                       : Slow::Plugin;
  if (out.kind == Slow::Folded) {
    FoldedFacts& f = out.folded;
    f.qualname = has_qualname ? qualname : has_co_name ? co_name : "?";
    f.path = has_path ? path : "";
    f.count = count;
    f.start = first;
    if (has_total && std::isfinite(total)) f.end = first + total;
    f.ascii = ascii(f.qualname) && ascii(f.path);
  }
  return out;
}

// -- the exception of an "unwind" record -------------------------------------

enum class Exc : std::uint8_t { None, Named, Unknown };

bool word_byte(std::uint8_t c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// The type a stored exception text names, as ``^\s*<?([A-Za-z_][\w.]*)``
// reads it; Unknown where a byte outside ASCII decides.
Exc type_in_text(std::string_view t, std::string_view& name) noexcept {
  std::size_t i = 0;
  while (i < t.size()) {
    const auto c = static_cast<std::uint8_t>(t[i]);
    if (c == ' ' || (c >= 9 && c <= 13) || (c >= 0x1c && c <= 0x1f)) {
      ++i;
    } else {
      break;
    }
  }
  if (i < t.size() && static_cast<std::uint8_t>(t[i]) >= 0x80) return Exc::Unknown;
  if (i < t.size() && t[i] == '<') ++i;
  if (i >= t.size()) return Exc::None;
  const auto first = static_cast<std::uint8_t>(t[i]);
  if (!(word_byte(first) && !(first >= '0' && first <= '9'))) return Exc::None;
  std::size_t j = i + 1;
  while (j < t.size()) {
    const auto c = static_cast<std::uint8_t>(t[j]);
    if (c >= 0x80) return Exc::Unknown;
    if (!word_byte(c) && c != '.') break;
    ++j;
  }
  name = t.substr(i, j - i);
  return Exc::Named;
}

// The type of the exception of the record [p, end), as the calls index reads it
// (vask.storage.callindex._exception_type_in).
Exc exception_type(Bytes d, std::size_t p, std::size_t end, std::string_view& name) {
  std::uint64_t n = 0;
  if (!map_header(d, p, end, n)) return Exc::Unknown;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::string_view key;
    std::size_t at = p;
    const bool keyed = text(d, at, end, key);
    if (!keyed || key != "exception") {
      if (!skip(d, p, end) || !skip(d, p, end)) return Exc::Unknown;
      continue;
    }
    p = at;
    if (p >= end) return Exc::Unknown;
    const std::uint8_t b = d[p];
    if (b == 0xc0) return Exc::None;
    std::string_view t;
    std::size_t q = p;
    if (text(d, q, end, t)) return type_in_text(t, name);
    std::size_t width = 0, size = 0;
    switch (b) {
      case 0xd4:
        size = 1;
        break;
      case 0xd5:
        size = 2;
        break;
      case 0xd6:
        size = 4;
        break;
      case 0xd7:
        size = 8;
        break;
      case 0xd8:
        size = 16;
        break;
      case 0xc7:
        width = 1;
        break;
      case 0xc8:
        width = 2;
        break;
      case 0xc9:
        width = 4;
        break;
      default:
        return Exc::Unknown;
    }
    if (end - p < 2 + width) return Exc::Unknown;
    if (width != 0) size = static_cast<std::size_t>(be(d.data() + p + 1, width));
    const std::uint8_t code = d[p + 1 + width];
    const std::size_t body = p + 2 + width;
    if (size > end - body) return Exc::Unknown;
    const std::size_t body_end = body + size;
    if (code == kExtRepr) {
      return type_in_text(std::string_view(reinterpret_cast<const char*>(d.data() + body), size),
                          name);
    }
    if (code == kExtObject) {
      std::size_t r = body;
      std::uint64_t items = 0;
      if (array_header(d, r, body_end, items) && items == 3 && text(d, r, body_end, name)) {
        return Exc::Named;
      }
    }
    return Exc::Unknown;
  }
  return Exc::None;
}

// -- linking one thread's records into its tree ---------------------------------

struct Node {
  std::uint8_t kind = kNodeRoot;
  std::uint8_t close_code = 0;
  bool opened = false;  // made by an opening record (not at its close)
  bool folded = false;  // a plugin node of a folded range
  std::int32_t parent = -1;
  double start = kNaN, end = kNaN;
  std::int64_t open_pos = -1, open_len = -1, close_pos = -1, close_len = -1;
  // where the record that names a call (its opening one, else its closing one)
  // says it is: its (qualified name, path), numbered by Linker::places()
  std::int32_t place = -1;
  // of a folded range's node: its facts, in ThreadTree::folded
  std::int32_t fold = -1;
  // of a call left by an exception: the exception's type, when named
  bool exc_named = false;
  std::string_view exc_type;
};

struct ThreadTree {
  std::string_view key, name;
  std::vector<Node> nodes;
  std::vector<std::int32_t> depth;
  std::vector<FoldedFacts> folded;
  double first_time = kNaN;
};

// A hash of short texts, 8 bytes at a step (the standard library's goes byte
// by byte: a fifth of the whole read when every call's name and path are
// looked up).
std::uint64_t text_hash(std::string_view s, std::uint64_t h) noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  h ^= n * 0x9e3779b97f4a7c15ULL;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xff51afd7ed558ccdULL;
    h ^= h >> 32;
  }
  std::uint64_t w = 0;
  std::memcpy(&w, p, n);
  h = (h ^ w) * 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 29);
}

struct FrameIdHash {
  std::size_t operator()(std::string_view s) const noexcept { return text_hash(s, 0); }
};

// A hash of a text by its length and its first, middle and last 8 bytes: a
// call's name and path are looked up for every call, and texts that differ
// elsewhere only are rare there (they then share a bucket, and are told
// apart by comparing them).
std::uint64_t text_sample(std::string_view s, std::uint64_t h) noexcept {
  if (s.size() <= 24) return text_hash(s, h);
  std::uint64_t w[3];
  std::memcpy(&w[0], s.data(), 8);
  std::memcpy(&w[1], s.data() + s.size() / 2 - 4, 8);
  std::memcpy(&w[2], s.data() + s.size() - 8, 8);
  h ^= s.size() * 0x9e3779b97f4a7c15ULL;
  for (const std::uint64_t word : w) {
    h = (h ^ word) * 0xff51afd7ed558ccdULL;
    h ^= h >> 32;
  }
  return h;
}

struct PairHash {
  std::size_t operator()(const std::pair<std::string_view, std::string_view>& k) const noexcept {
    return text_sample(k.second, text_sample(k.first, 0));
  }
};

// The node's name as the trace index names it: its "qualname" text, else
// its "co_name" text when not empty, else "?".
std::string_view qualname_of(Bytes d, const FrameHead& h) noexcept {
  auto view = [&](std::pair<std::size_t, std::size_t> s) {
    return std::string_view(reinterpret_cast<const char*>(d.data() + s.first), s.second - s.first);
  };
  if (h.qualname_text) return view(h.qualname);
  if (h.co_name_text && h.co_name.second > h.co_name.first) return view(h.co_name);
  return "?";
}

class Linker {
 public:
  Linker(Bytes d, double earliest, double latest) : d_(d), earliest_(earliest), latest_(latest) {}

  // Links the records [pos, pos + lengths...) into `tree`; false with `why` set
  // when the document is left to the trace index.
  bool link(ThreadTree& tree, std::size_t pos, std::span<const std::size_t> ends,
            const char*& why) {
    std::vector<Node>& nodes = tree.nodes;
    nodes.clear();
    nodes.reserve(ends.size() + 1);  // at most a node per record
    nodes.push_back(Node{});
    tree.folded.clear();
    stack_.assign(1, 0);
    fids_.assign(1, std::string_view());
    root_children_.clear();
    // A document far larger than the caches is read at the speed of memory
    // unless the records ahead are asked for early: their heads, and their
    // tails (where the time is looked for), a few records ahead.
    constexpr std::size_t kAhead = 12;
    for (std::size_t r = 0; r < ends.size(); ++r) {
      const std::size_t end = ends[r];
      if (r + kAhead < ends.size()) {
        const std::size_t head = ends[r + kAhead - 1];  // where that record starts
        const std::size_t tail = ends[r + kAhead];
        for (const std::size_t at : {head, head + 64, tail - std::min<std::size_t>(tail, 64),
                                     tail - std::min<std::size_t>(tail, 128)}) {
          if (at < d_.size()) __builtin_prefetch(d_.data() + at);
        }
      }
      const std::size_t p = pos;
      pos = end;
      const FrameHead h = frame_head(d_, p, end, earliest_, latest_);
      const auto length = static_cast<std::int64_t>(end - p);
      if (h.code == kSlow) {
        const SlowFacts s = slow_facts(d_, p, end, earliest_, latest_);
        if (s.kind == Slow::Frame) {
          why = "a frame record not in the engines' layout";
          return false;
        }
        if (s.kind == Slow::Other) continue;
        Node node;
        node.kind = s.kind == Slow::Flushed ? kNodeFlushed : kNodePlugin;
        node.folded = s.kind == Slow::Folded;
        if (node.folded) {
          if (!s.folded.ascii) {
            why = "a folded range named outside ASCII";
            return false;
          }
          node.fold = static_cast<std::int32_t>(tree.folded.size());
          tree.folded.push_back(s.folded);
        }
        node.start = s.time;
        node.open_pos = static_cast<std::int64_t>(p);
        node.open_len = length;
        add_child(nodes, std::move(node));
        continue;
      }
      const auto fid = std::string_view(reinterpret_cast<const char*>(d_.data() + h.spans[0]),
                                        static_cast<std::size_t>(h.spans[1] - h.spans[0]));
      if (h.code == kCall || h.code == kResume || h.code == kThrow) {
        Node node;
        node.kind = kNodeCall;
        node.opened = true;
        node.start = h.time;
        node.open_pos = static_cast<std::int64_t>(p);
        node.open_len = length;
        node.place = place_of(h);
        const std::int32_t made = add_child(nodes, std::move(node));
        stack_.push_back(made);
        fids_.push_back(fid);
        continue;
      }
      if (h.code != kReturn && h.code != kUnwind && h.code != kYield) continue;  // another event
      std::int32_t closed = -1;
      if (stack_.size() > 1 && fids_.back() == fid) {
        closed = stack_.back();
        stack_.pop_back();
        fids_.pop_back();
      } else if (std::find(fids_.begin() + 1, fids_.end(), fid) != fids_.end()) {
        for (;;) {
          const std::int32_t top = stack_.back();
          const std::string_view open_fid = fids_.back();
          stack_.pop_back();
          fids_.pop_back();
          if (open_fid == fid) {
            closed = top;
            break;
          }
        }
      } else {
        closed = began_before(nodes, h);
      }
      Node& node = nodes[static_cast<std::size_t>(closed)];
      node.close_code = h.code;
      node.close_pos = static_cast<std::int64_t>(p);
      node.close_len = length;
      node.end = h.time;
      if (h.code == kUnwind) {
        // read now, while the record is in the caches
        const Exc got = exception_type(d_, p, end, node.exc_type);
        if (got == Exc::Unknown) {
          why = "an exception stored in a form read only by decoding it";
          return false;
        }
        node.exc_named = got == Exc::Named;
      }
    }
    depths(tree);
    tree.first_time = first_time(nodes);
    return true;
  }

  // Every (qualified name, path) a call was named by, numbered in order of first use.
  const std::vector<std::pair<std::string_view, std::string_view>>& places() const noexcept {
    return place_texts_;
  }

 private:
  std::string_view path_of(const FrameHead& h) const noexcept {
    return {reinterpret_cast<const char*>(d_.data() + h.path.first), h.path.second - h.path.first};
  }

  // Looked up as the record is read, while its bytes are in the caches.
  std::int32_t place_of(const FrameHead& h) {
    const std::pair<std::string_view, std::string_view> key{qualname_of(d_, h), path_of(h)};
    auto [at, fresh] = places_.try_emplace(key, static_cast<std::int32_t>(place_texts_.size()));
    if (fresh) place_texts_.push_back(key);
    return at->second;
  }

  std::int32_t add_child(std::vector<Node>& nodes, Node node) {
    const std::int32_t top = stack_.back();
    node.parent = top;
    const auto made = static_cast<std::int32_t>(nodes.size());
    nodes.push_back(std::move(node));
    if (top == 0) root_children_.push_back(made);
    return made;
  }

  // A call that began before tracing, made at its closing record: at the top
  // level it adopts everything recorded there so far.
  std::int32_t began_before(std::vector<Node>& nodes, const FrameHead& h) {
    Node node;
    node.kind = kNodeCall;
    node.place = place_of(h);
    const std::int32_t top = stack_.back();
    node.parent = top;
    const auto made = static_cast<std::int32_t>(nodes.size());
    nodes.push_back(std::move(node));
    if (top == 0) {
      for (const std::int32_t child : root_children_)
        nodes[static_cast<std::size_t>(child)].parent = made;
      root_children_.assign(1, made);
    }
    return made;
  }

  static void depths(ThreadTree& tree) {
    const std::vector<Node>& nodes = tree.nodes;
    std::vector<std::int32_t>& depth = tree.depth;
    constexpr std::int32_t kUnknown = std::numeric_limits<std::int32_t>::min();
    depth.assign(nodes.size(), kUnknown);
    depth[0] = -1;
    std::vector<std::int32_t> path;
    for (std::size_t n = 1; n < nodes.size(); ++n) {
      auto at = static_cast<std::int32_t>(n);
      while (depth[static_cast<std::size_t>(at)] == kUnknown) {
        path.push_back(at);
        at = nodes[static_cast<std::size_t>(at)].parent;
      }
      std::int32_t below = depth[static_cast<std::size_t>(at)];
      while (!path.empty()) {
        depth[static_cast<std::size_t>(path.back())] = ++below;
        path.pop_back();
      }
    }
  }

  // ThreadIndex.first_time: the first start among its first nodes, else the
  // start of its time span.
  static double first_time(const std::vector<Node>& nodes) {
    for (std::size_t n = 1; n < nodes.size() && n < 64; ++n) {
      if (!std::isnan(nodes[n].start)) return nodes[n].start;
    }
    double lo = kNaN, hi = kNaN, last_start = kNaN, lo_end = kNaN;
    auto lower = [](double& a, double b) {
      if (!std::isnan(b) && (std::isnan(a) || b < a)) a = b;
    };
    auto higher = [](double& a, double b) {
      if (!std::isnan(b) && (std::isnan(a) || b > a)) a = b;
    };
    for (const Node& node : nodes) {
      lower(lo, node.start);
      higher(last_start, node.start);
      higher(hi, node.end);
      lower(lo_end, node.end);
    }
    if (std::isnan(hi) || last_start > hi) hi = last_start;
    if (std::isnan(lo) || (!std::isnan(hi) && lo > hi)) lo = std::isnan(lo_end) ? hi : lo_end;
    return lo;
  }

  Bytes d_;
  double earliest_, latest_;
  std::vector<std::int32_t> stack_;
  std::vector<std::string_view> fids_;
  std::vector<std::int32_t> root_children_;
  std::unordered_map<std::pair<std::string_view, std::string_view>, std::int32_t, PairHash> places_;
  std::vector<std::pair<std::string_view, std::string_view>> place_texts_;
};

// -- the document's structure --------------------------------------------------

struct ThreadRecords {
  std::string_view key, name;
  std::size_t first = 0;
  std::vector<std::size_t> ends;
};

// The records' table: per thread (first record, count), then every length.
struct Table {
  std::vector<std::pair<std::int64_t, std::int64_t>> threads;
  std::span<const std::uint8_t> lengths;  // uint32 each, native order
  std::size_t next = 0;                   // lengths used so far
};

bool read_table(Bytes raw, Table& out) {
  if (raw.size() < 8) return false;
  std::int64_t count = 0;
  std::memcpy(&count, raw.data(), 8);
  if (count < 0 || static_cast<std::uint64_t>(count) > (raw.size() - 8) / 16) return false;
  const std::size_t head = 8 + 16 * static_cast<std::size_t>(count);
  std::int64_t records = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    std::array<std::int64_t, 2> entry{};
    std::memcpy(entry.data(), raw.data() + 8 + 16 * i, 16);
    if (entry[0] < 0 || entry[1] < 0) return false;
    out.threads.emplace_back(entry[0], entry[1]);
    records += entry[1];
  }
  if (static_cast<std::uint64_t>(records) != (raw.size() - head) / 4 ||
      (raw.size() - head) % 4 != 0) {
    return false;
  }
  out.lengths = raw.subspan(head);
  return true;
}

// Reads a thread's entry in "threads": its facts and the extents of its records.
bool read_thread(Bytes d, std::size_t& p, ThreadRecords& thread, Table* table, std::size_t number,
                 const char*& why) {
  const std::size_t size = d.size();
  std::uint64_t fields = 0;
  if (!map_header(d, p, size, fields)) {
    why = "a thread that is not a map";
    return false;
  }
  bool framed = false;
  for (std::uint64_t f = 0; f < fields; ++f) {
    std::string_view field;
    std::size_t at = p;
    const bool named = text(d, at, size, field);
    if (!named || field != "frames") {
      if (named) {
        p = at;
      } else if (!skip(d, p, size)) {
        why = "a thread that cannot be read";
        return false;
      }
      const std::size_t value = p;
      if (!skip(d, p, size)) {
        why = "a thread that cannot be read";
        return false;
      }
      std::size_t v = value;
      std::string_view name;
      if (named && field == "name" && text(d, v, p, name)) thread.name = name;
      continue;
    }
    p = at;
    std::uint64_t count = 0;
    if (framed || !array_header(d, p, size, count)) {
      why = "a thread's records are not one array";
      return false;
    }
    framed = true;
    thread.first = p;
    thread.ends.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, 1 << 20)));
    if (table != nullptr) {
      if (number >= table->threads.size() ||
          table->threads[number].first != static_cast<std::int64_t>(p) ||
          table->threads[number].second != static_cast<std::int64_t>(count)) {
        why = "the records' table does not match the document";
        return false;
      }
      for (std::uint64_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        std::memcpy(&length, table->lengths.data() + 4 * table->next++, 4);
        if (length == 0 || length > size - p) {
          why = "the records' table does not match the document";
          return false;
        }
        p += length;
        thread.ends.push_back(p);
      }
    } else {
      for (std::uint64_t i = 0; i < count; ++i) {
        if (!skip(d, p, size)) {
          why = "a record that cannot be measured";
          return false;
        }
        thread.ends.push_back(p);
      }
    }
  }
  return true;
}

// The file and line of a path text ("file:line"), as the calls index splits
// it; false where a byte outside ASCII decides the line.
bool split_path(std::string_view path, std::string_view& file, std::int32_t& line) {
  line = -1;
  if (path.empty()) {
    file = "?";
    return true;
  }
  const std::size_t colon = path.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    file = path;
    return true;
  }
  file = path.substr(0, colon);
  const std::string_view digits = path.substr(colon + 1);
  if (digits.empty()) return true;
  std::int64_t value = 0;
  for (const char c : digits) {
    const auto b = static_cast<std::uint8_t>(c);
    if (b >= 0x80) return false;
    if (b < '0' || b > '9') return true;
    value = value * 10 + (b - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return false;
  }
  line = static_cast<std::int32_t>(value);
  return true;
}

// Non-overlapping occurrences of `needle` in [from, to) of `d`, leftmost first
// (as bytes.count counts them).
std::uint64_t occurrences(Bytes d, std::size_t from, std::size_t to,
                          std::string_view needle) noexcept {
  std::uint64_t n = 0;
  while (to > from && to - from >= needle.size()) {
    const void* hit = ::memmem(d.data() + from, to - from, needle.data(), needle.size());
    if (hit == nullptr) break;
    ++n;
    from = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - d.data()) +
           needle.size();
  }
  return n;
}

// vask.document.CALL_PATTERN: the event "call", the key "frame_id" right after
// it, the header of a 30-byte text and "frm_", as every call record of the
// engines' layout holds them.
constexpr std::string_view kCallPattern{"\xa5" "event" "\xa4" "call" "\xa8" "frame_id" "\xbe" "frm_", 25};

}  // namespace

std::optional<std::uint64_t> count_call_records(Bytes d, Bytes raw_table) noexcept {
  Table table;
  if (!read_table(raw_table, table)) return std::nullopt;
  std::uint64_t calls = 0;
  std::size_t outside = 0;  // where the bytes between records begin
  std::size_t next = 0;     // lengths read so far
  for (const auto& [first, count] : table.threads) {
    const auto begin = static_cast<std::size_t>(first);
    if (begin < outside || begin > d.size()) return std::nullopt;
    calls += occurrences(d, outside, begin, kCallPattern);
    std::size_t p = begin;
    // Records far larger than a cache line are read at the speed of memory unless
    // the heads ahead are asked for early: record `ahead_r` starts at `ahead`.
    constexpr std::int64_t kAhead = 16;
    const std::size_t base = next;
    std::size_t ahead = begin;
    std::int64_t ahead_r = 0;
    for (std::int64_t r = 0; r < count; ++r) {
      for (const std::int64_t until = std::min(r + kAhead, count); ahead_r < until; ++ahead_r) {
        std::uint32_t skip = 0;
        std::memcpy(&skip, table.lengths.data() + 4 * (base + static_cast<std::size_t>(ahead_r)), 4);
        if (skip > d.size() - ahead) break;  // found out when reached
        ahead += skip;
        // a head's path, names and frame id: a few lines
        for (std::size_t line = 0; line < 192 && ahead + line < d.size(); line += 64) {
          __builtin_prefetch(d.data() + ahead + line);
        }
      }
      std::uint32_t length = 0;
      std::memcpy(&length, table.lengths.data() + 4 * next++, 4);
      if (length == 0 || length > d.size() - p) return std::nullopt;
      const std::size_t end = p + length;
      const FramePrefix head = frame_prefix(d, p, end);
      if (head.code == kSlow) {
        calls += occurrences(d, p, end, kCallPattern);
      } else {
        // a frame record's event is where its head says; its values are not looked into
        const std::size_t at = head.qualname.second;
        calls += end - at >= kCallPattern.size() &&
                 std::memcmp(d.data() + at, kCallPattern.data(), kCallPattern.size()) == 0;
      }
      p = end;
    }
    outside = p;
  }
  return calls + occurrences(d, outside, d.size(), kCallPattern);
}

CallRows call_rows(Bytes d, Bytes raw_table, double earliest, double latest) {
  CallRows out;
  Table table;
  Table* tab = nullptr;
  if (!raw_table.empty()) {
    if (!read_table(raw_table, table)) {
      out.why = "a records' table that cannot be read";
      return out;
    }
    tab = &table;
  }
  const std::size_t size = d.size();
  std::size_t p = 0;
  std::uint64_t entries = 0;
  if (!map_header(d, p, size, entries)) {
    out.why = "not a trace document";
    return out;
  }
  std::vector<ThreadRecords> threads;
  std::string_view main_thread;
  bool has_main = false, seen_threads = false;
  for (std::uint64_t e = 0; e < entries; ++e) {
    std::string_view key;
    std::size_t at = p;
    const bool named = text(d, at, size, key);
    if (!named || key != "threads") {
      if (named) {
        p = at;
      } else if (!skip(d, p, size)) {
        out.why = "not a trace document";
        return out;
      }
      const std::size_t value = p;
      if (!skip(d, p, size)) {
        out.why = "not a trace document";
        return out;
      }
      std::size_t v = value;
      std::string_view main;
      if (named && key == "current_thread_id" && text(d, v, p, main)) {
        main_thread = main;
        has_main = true;
      }
      continue;
    }
    p = at;
    std::uint64_t count = 0;
    if (seen_threads || !map_header(d, p, size, count)) {
      out.why = "threads that are not one map";
      return out;
    }
    seen_threads = true;
    for (std::uint64_t t = 0; t < count; ++t) {
      ThreadRecords thread;
      if (!text(d, p, size, thread.key)) {
        out.why = "a thread key that is not a text";
        return out;
      }
      thread.name = thread.key;
      for (const ThreadRecords& other : threads) {
        if (other.key == thread.key) {
          out.why = "a thread twice";
          return out;
        }
      }
      if (!read_thread(d, p, thread, tab, threads.size(), out.why)) {
        if (out.why == nullptr) out.why = "a thread that cannot be read";
        return out;
      }
      threads.push_back(std::move(thread));
    }
  }
  if (!seen_threads || p != size || (tab != nullptr && tab->next * 4 != tab->lengths.size())) {
    out.why = "not a whole trace document";
    return out;
  }

  // every thread's tree, then the threads in the index's order
  std::vector<ThreadTree> trees(threads.size());
  Linker linker(d, earliest, latest);
  for (std::size_t t = 0; t < threads.size(); ++t) {
    trees[t].key = threads[t].key;
    trees[t].name = threads[t].name;
    if (!linker.link(trees[t], threads[t].first, threads[t].ends, out.why)) return out;
  }
  std::vector<std::size_t> order(trees.size());
  for (std::size_t t = 0; t < order.size(); ++t) order[t] = t;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const bool a_other = !(has_main && trees[a].key == main_thread);
    const bool b_other = !(has_main && trees[b].key == main_thread);
    if (a_other != b_other) return !a_other;
    const double fa = std::isnan(trees[a].first_time) ? HUGE_VAL : trees[a].first_time;
    const double fb = std::isnan(trees[b].first_time) ? HUGE_VAL : trees[b].first_time;
    return fa < fb;
  });

  // rows in the walk's order, with their key; grouped by key at the end
  std::unordered_map<std::pair<std::string_view, std::string_view>, std::int32_t, PairHash> keys;
  // per place (see Linker::places): (key, line), key -1 until first met
  std::vector<std::pair<std::int32_t, std::int32_t>> where(linker.places().size(), {-1, -1});
  std::unordered_map<std::string_view, std::int32_t, FrameIdHash> exc_numbers;
  std::vector<std::int32_t> key_of;
  CallRows walk;
  std::vector<std::size_t> thread_calls;  // where each thread's calls end in the walk
  for (std::size_t seq = 0; seq < order.size(); ++seq) {
    const ThreadTree& tree = trees[order[seq]];
    out.threads.push_back({tree.key, tree.name});
    for (std::size_t n = 1; n < tree.nodes.size(); ++n) {
      const Node& node = tree.nodes[n];
      if (node.kind != kNodeCall) continue;
      std::pair<std::int32_t, std::int32_t>& found = where[static_cast<std::size_t>(node.place)];
      if (found.first < 0) {
        const auto& [qualname, path] = linker.places()[static_cast<std::size_t>(node.place)];
        std::string_view file;
        std::int32_t line = -1;
        if (!split_path(path, file, line)) {
          out.why = "a line number that is not ASCII";
          return out;
        }
        auto [k, fresh] =
            keys.try_emplace({qualname, file}, static_cast<std::int32_t>(out.keys.size()));
        if (fresh) out.keys.emplace_back(qualname, file);
        found = {k->second, line};
      }
      std::int8_t outcome = kReturned;
      std::int32_t exc = -1;
      if (node.close_pos < 0) {
        outcome = kUnfinished;
      } else if (node.close_code == kUnwind) {
        outcome = kRaised;
        if (node.exc_named) {
          auto [e, fresh] = exc_numbers.try_emplace(
              node.exc_type, static_cast<std::int32_t>(out.exc_types.size()));
          if (fresh) out.exc_types.push_back(node.exc_type);
          exc = e->second;
        }
      } else if (node.close_code == kYield) {
        outcome = kYielded;
      }
      key_of.push_back(found.first);
      walk.seq.push_back(static_cast<std::int32_t>(seq));
      walk.node.push_back(static_cast<std::int64_t>(n));
      walk.parent.push_back(node.parent);
      walk.depth.push_back(tree.depth[n]);
      walk.line.push_back(found.second);
      walk.start.push_back(node.start);
      walk.end.push_back(node.end);
      walk.outcome.push_back(outcome);
      walk.exc.push_back(exc);
      walk.folded.push_back(-1);
      walk.open_pos.push_back(node.opened ? node.open_pos : -1);
      walk.open_len.push_back(node.opened ? node.open_len : -1);
      walk.close_pos.push_back(node.close_pos);
      walk.close_len.push_back(node.close_len);
    }
    thread_calls.push_back(key_of.size());
  }

  // The folded ranges' rows, after every call's (the index adds them to their
  // names' rows after those of the calls, and their names after the calls'),
  // in the same walk.
  std::vector<std::size_t> thread_folds;  // where each thread's end
  for (std::size_t seq = 0; seq < order.size(); ++seq) {
    const ThreadTree& tree = trees[order[seq]];
    for (std::size_t n = 1; n < tree.nodes.size(); ++n) {
      const Node& node = tree.nodes[n];
      if (node.kind != kNodePlugin || !node.folded) continue;
      const FoldedFacts& f = tree.folded[static_cast<std::size_t>(node.fold)];
      std::string_view file;
      std::int32_t line = -1;
      if (!split_path(f.path, file, line)) {
        out.why = "a line number that is not ASCII";
        return out;
      }
      auto [k, fresh] =
          keys.try_emplace({f.qualname, file}, static_cast<std::int32_t>(out.keys.size()));
      if (fresh) out.keys.emplace_back(f.qualname, file);
      key_of.push_back(k->second);
      walk.seq.push_back(static_cast<std::int32_t>(seq));
      walk.node.push_back(static_cast<std::int64_t>(n));
      walk.parent.push_back(node.parent);
      walk.depth.push_back(tree.depth[n]);
      walk.line.push_back(line);
      walk.start.push_back(f.start);
      walk.end.push_back(f.end);
      walk.outcome.push_back(kFolded);
      walk.exc.push_back(-1);
      walk.folded.push_back(f.count);
      walk.open_pos.push_back(node.open_pos);
      walk.open_len.push_back(node.open_len);
      walk.close_pos.push_back(-1);
      walk.close_len.push_back(-1);
    }
    thread_folds.push_back(key_of.size());
  }

  // a stable sort by key: each group keeps the walk's order
  const std::size_t rows = key_of.size();
  std::vector<std::size_t> at(out.keys.size() + 1, 0);
  for (const std::int32_t k : key_of) ++at[static_cast<std::size_t>(k) + 1];
  for (std::size_t k = 1; k < at.size(); ++k) at[k] += at[k - 1];
  out.group_ends.assign(at.begin() + 1, at.end());
  std::vector<std::size_t> place(rows);
  for (std::size_t r = 0; r < rows; ++r) place[r] = at[static_cast<std::size_t>(key_of[r])]++;
  auto arrange = [&](auto& from, auto& to) {
    to.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) to[place[r]] = from[r];
  };
  arrange(walk.seq, out.seq);
  arrange(walk.node, out.node);
  arrange(walk.parent, out.parent);
  arrange(walk.depth, out.depth);
  arrange(walk.line, out.line);
  arrange(walk.start, out.start);
  arrange(walk.end, out.end);
  arrange(walk.outcome, out.outcome);
  arrange(walk.exc, out.exc);
  arrange(walk.folded, out.folded);
  arrange(walk.open_pos, out.open_pos);
  arrange(walk.open_len, out.open_len);
  arrange(walk.close_pos, out.close_pos);
  arrange(walk.close_len, out.close_len);
  // every row in node order: each thread's calls and folded ranges merged
  out.walk.reserve(rows);
  for (std::size_t seq = 0, calls = 0, folds = thread_calls.empty() ? 0 : thread_calls.back();
       seq < order.size(); ++seq) {
    while (calls < thread_calls[seq] || folds < thread_folds[seq]) {
      const bool call = folds >= thread_folds[seq] ||
                        (calls < thread_calls[seq] && walk.node[calls] < walk.node[folds]);
      out.walk.push_back(place[call ? calls++ : folds++]);
    }
  }
  return out;
}

}  // namespace vask::scan
