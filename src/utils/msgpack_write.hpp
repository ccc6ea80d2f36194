// MessagePack writers appending to a byte buffer, always in the shortest form
// the format allows; floats as 64-bit. Writing to memory cannot fail.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "utils/records.hpp"

namespace vask::mp {

inline void write_nil(Bytes& out) { out.push_back('\xc0'); }
inline void write_bool(Bytes& out, bool v) { out.push_back(v ? '\xc3' : '\xc2'); }
void write_uint(Bytes& out, uint64_t v);
// Non-negative values take the unsigned forms, as the format's shortest rule.
void write_int(Bytes& out, int64_t v);
// Always 0xcb and 8 big-endian bytes, also for integral values.
inline void write_f64(Bytes& out, double v) {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  char buf[9];
  buf[0] = '\xcb';
  for (int i = 0; i < 8; ++i) buf[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
  out.append(buf, sizeof buf);
}
// Strings of 256 bytes or more, out of line.
[[gnu::cold]] void write_long_str(Bytes& out, std::string_view s);
// Strings, binaries and extension bodies longer than 2^32-1 bytes throw
// InternalFault: such a length has no MessagePack encoding.
inline void write_str(Bytes& out, std::string_view s) {
  const size_t n = s.size();
  if (n < 32) [[likely]] {
    out.push_back(static_cast<char>(0xa0 | n));
  } else if (n < 256) {
    const char header[2] = {'\xd9', static_cast<char>(n)};
    out.append(header, 2);
  } else {
    write_long_str(out, s);
    return;
  }
  out.append(s);
}
void write_bin(Bytes& out, std::string_view data);
// Maps of 16 entries or more, out of line.
void write_long_map_header(Bytes& out, uint32_t n);
inline void write_map_header(Bytes& out, uint32_t n) {
  if (n < 16) [[likely]] {
    out.push_back(static_cast<char>(0x80 | n));
  } else {
    write_long_map_header(out, n);
  }
}
void write_array_header(Bytes& out, uint32_t n);
void write_ext_header(Bytes& out, int8_t type, uint32_t size);
// Splices one already encoded MessagePack object.
inline void write_raw(Bytes& out, std::string_view encoded) { out.append(encoded); }

// A container length as a 32-bit count; a larger one throws InternalFault.
uint32_t checked_count(size_t n);

inline constexpr size_t npos = static_cast<size_t>(-1);
// The byte length of the MessagePack object at the start of data, or npos when
// data does not start with a complete one (truncated, or the reserved marker
// 0xc1). Walks the structure without allocating and without recursion, so
// any nesting depth is safe.
size_t object_size(std::string_view data) noexcept;

}  // namespace vask::mp

namespace vask {

// The pair writers of the record and document formats.
inline void write_str_pair(Bytes& out, std::string_view key,
                           std::optional<std::string_view> value) {
  mp::write_str(out, key);
  if (value) {
    mp::write_str(out, *value);
  } else {
    mp::write_nil(out);
  }
}
void write_int_pair(Bytes& out, std::string_view key, std::optional<uint64_t> value);
void write_bool_pair(Bytes& out, std::string_view key, bool value);
// The fixstr "timestamp", then the float.
inline void write_f64_pair(Bytes& out, double value) {
  mp::write_str(out, "timestamp");
  mp::write_f64(out, value);
}
// Array header with the count, then each record unchanged.
void write_raw_frame_slice(Bytes& out, const RecordList& records);

// A small MessagePack value tree, for the few places that need one (the
// configuration map, the call site).
struct MpValue;
using MpMap = std::vector<std::pair<std::string, MpValue>>;
struct MpValue {
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, MpMap> v;
};
void write_value(Bytes& out, const MpValue& value);

}  // namespace vask
