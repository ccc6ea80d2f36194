#include "utils/msgpack_write.hpp"

#include <bit>
#include <limits>
#include <msgpack.hpp>

#include "support/py.hpp"

namespace vask::mp {
namespace {

// The stream msgpack::packer writes to: the caller's buffer, appended to.
struct Sink {
  Bytes* out;
  void write(const char* data, size_t size) { out->append(data, size); }
};

struct Writer {
  Sink sink;
  msgpack::packer<Sink> pk;
  explicit Writer(Bytes& out) : sink{&out}, pk(sink) {}
};

uint32_t checked_length(size_t n) {
  if (n > std::numeric_limits<uint32_t>::max()) [[unlikely]] {
    fault("MessagePack length does not fit in 32 bits");
  }
  return static_cast<uint32_t>(n);
}

}  // namespace

void write_uint(Bytes& out, uint64_t v) { Writer(out).pk.pack_uint64(v); }
void write_int(Bytes& out, int64_t v) { Writer(out).pk.pack_int64(v); }

void write_long_str(Bytes& out, std::string_view s) {
  const uint32_t n = checked_length(s.size());
  Writer w(out);
  w.pk.pack_str(n);
  out.append(s);
}

void write_bin(Bytes& out, std::string_view data) {
  const uint32_t n = checked_length(data.size());
  Writer w(out);
  w.pk.pack_bin(n);
  out.append(data);
}

void write_long_map_header(Bytes& out, uint32_t n) { Writer(out).pk.pack_map(n); }
void write_array_header(Bytes& out, uint32_t n) { Writer(out).pk.pack_array(n); }
void write_ext_header(Bytes& out, int8_t type, uint32_t size) {
  Writer(out).pk.pack_ext(size, type);
}

uint32_t checked_count(size_t n) { return checked_length(n); }

size_t object_size(std::string_view data) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const size_t size = data.size();
  size_t pos = 0;
  // Objects still to read. Each needs at least one byte, so more pending
  // objects than bytes left means the data is short; checking that also keeps
  // the counter far from overflow on hostile headers.
  uint64_t pending = 1;
  auto be = [&](size_t at, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | p[at + i];
    return v;
  };
  while (pending > 0) {
    if (pos >= size || pending > size - pos) return npos;
    const unsigned char m = p[pos++];
    --pending;
    uint64_t skip = 0;      // payload bytes after the header
    uint64_t children = 0;  // nested objects
    int len_width = 0;      // width of a big-endian length field
    uint64_t extra = 0;     // bytes between the length field and the payload
    bool is_container = false;
    uint64_t per_item = 1;
    if (m <= 0x7f || m >= 0xe0 || m == 0xc0 || m == 0xc2 || m == 0xc3) {
      // fixints, nil, booleans: the marker is the whole object
    } else if (m <= 0x8f) {
      children = 2u * (m & 0x0fu);
    } else if (m <= 0x9f) {
      children = m & 0x0fu;
    } else if (m <= 0xbf) {
      skip = m & 0x1fu;
    } else {
      switch (m) {
        case 0xc4:
          len_width = 1;
          break;
        case 0xc5:
          len_width = 2;
          break;
        case 0xc6:
          len_width = 4;
          break;
        case 0xc7:
          len_width = 1;
          extra = 1;
          break;
        case 0xc8:
          len_width = 2;
          extra = 1;
          break;
        case 0xc9:
          len_width = 4;
          extra = 1;
          break;
        case 0xca:
          skip = 4;
          break;
        case 0xcb:
          skip = 8;
          break;
        case 0xcc:
        case 0xd0:
          skip = 1;
          break;
        case 0xcd:
        case 0xd1:
          skip = 2;
          break;
        case 0xce:
        case 0xd2:
          skip = 4;
          break;
        case 0xcf:
        case 0xd3:
          skip = 8;
          break;
        case 0xd4:
          skip = 2;
          break;
        case 0xd5:
          skip = 3;
          break;
        case 0xd6:
          skip = 5;
          break;
        case 0xd7:
          skip = 9;
          break;
        case 0xd8:
          skip = 17;
          break;
        case 0xd9:
          len_width = 1;
          break;
        case 0xda:
          len_width = 2;
          break;
        case 0xdb:
          len_width = 4;
          break;
        case 0xdc:
          len_width = 2;
          is_container = true;
          break;
        case 0xdd:
          len_width = 4;
          is_container = true;
          break;
        case 0xde:
          len_width = 2;
          is_container = true;
          per_item = 2;
          break;
        case 0xdf:
          len_width = 4;
          is_container = true;
          per_item = 2;
          break;
        default:
          return npos;  // 0xc1, never used
      }
    }
    if (len_width > 0) {
      if (size - pos < static_cast<size_t>(len_width)) return npos;
      const uint64_t n = be(pos, len_width);
      pos += static_cast<size_t>(len_width);
      if (is_container) {
        children = n * per_item;
      } else {
        skip = n + extra;
      }
    }
    if (skip > size - pos) return npos;
    pos += static_cast<size_t>(skip);
    pending += children;
  }
  return pos;
}

}  // namespace vask::mp

namespace vask {

void write_int_pair(Bytes& out, std::string_view key, std::optional<uint64_t> value) {
  mp::write_str(out, key);
  if (value) {
    mp::write_uint(out, *value);
  } else {
    mp::write_nil(out);
  }
}

void write_bool_pair(Bytes& out, std::string_view key, bool value) {
  mp::write_str(out, key);
  mp::write_bool(out, value);
}

void write_raw_frame_slice(Bytes& out, const RecordList& records) {
  mp::write_array_header(out, mp::checked_count(records.size()));
  for (const Bytes& record : records) out.append(record);
}

void write_value(Bytes& out, const MpValue& value) {
  struct Visit {
    Bytes& out;
    void operator()(std::monostate) const { mp::write_nil(out); }
    void operator()(bool b) const { mp::write_bool(out, b); }
    void operator()(int64_t i) const { mp::write_int(out, i); }
    void operator()(uint64_t u) const { mp::write_uint(out, u); }
    void operator()(double d) const { mp::write_f64(out, d); }
    void operator()(const std::string& s) const { mp::write_str(out, s); }
    void operator()(const MpMap& map) const {
      mp::write_map_header(out, mp::checked_count(map.size()));
      for (const auto& [key, item] : map) {
        mp::write_str(out, key);
        write_value(out, item);
      }
    }
  };
  std::visit(Visit{out}, value.v);
}

}  // namespace vask
