// MessagePack writers appending to a byte buffer, always in the shortest form
// the format allows; floats as 64-bit. Writing to memory cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "utils/records.hpp"

namespace vask::mp {

void write_nil(Bytes& out);
void write_bool(Bytes& out, bool v);
void write_uint(Bytes& out, uint64_t v);
// Non-negative values take the unsigned forms, as the format's shortest rule.
void write_int(Bytes& out, int64_t v);
// Always 0xcb and 8 big-endian bytes, also for integral values.
void write_f64(Bytes& out, double v);
// Strings, binaries and extension bodies longer than 2^32-1 bytes throw
// InternalFault: such a length has no MessagePack encoding.
void write_str(Bytes& out, std::string_view s);
void write_bin(Bytes& out, std::string_view data);
void write_map_header(Bytes& out, uint32_t n);
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
void write_str_pair(Bytes& out, std::string_view key, std::optional<std::string_view> value);
void write_int_pair(Bytes& out, std::string_view key, std::optional<uint64_t> value);
void write_bool_pair(Bytes& out, std::string_view key, bool value);
// The fixstr "timestamp", then the float.
void write_f64_pair(Bytes& out, double value);
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
