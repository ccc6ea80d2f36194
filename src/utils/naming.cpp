#include "utils/naming.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <msgpack.hpp>

#include "utils/msgpack_write.hpp"

namespace vask {
namespace {

constexpr size_t kMaxDepth = 1024;
constexpr size_t kHeadTail = 3;

// Strings and binaries point into the record instead of being copied; every
// record outlives the objects decoded from it (they die with this call).
bool reference_record_bytes(msgpack::type::object_type, size_t, void*) { return true; }

// Decodes one record into handle; false when it is malformed, has bytes after
// its one object, or is not a map. The declared container sizes are bounded
// by the record's length: the decoder allocates for a declared count before
// reading the items, so garbage claiming 2^32 entries must not get that far.
bool decode_map(std::string_view record, msgpack::object_handle& handle) {
  const size_t n = record.size();
  const msgpack::unpack_limit limit(n, n / 2, n, n, n, kMaxDepth);
  try {
    size_t offset = 0;
    handle = msgpack::unpack(record.data(), n, offset, reference_record_bytes, nullptr, limit);
    if (offset != n) return false;
  } catch (const msgpack::unpack_error&) {
    return false;
  }
  return handle.get().type == msgpack::type::MAP;
}

// The value of the first entry whose key is the string `key`.
const msgpack::object* find_field(const msgpack::object& map, std::string_view key) {
  const msgpack::object_map& m = map.via.map;
  for (uint32_t i = 0; i < m.size; ++i) {
    const msgpack::object& k = m.ptr[i].key;
    if (k.type == msgpack::type::STR && std::string_view(k.via.str.ptr, k.via.str.size) == key) {
      return &m.ptr[i].val;
    }
  }
  return nullptr;
}

std::optional<std::string_view> str_field(const msgpack::object& map, std::string_view key) {
  const msgpack::object* v = find_field(map, key);
  if (v == nullptr || v->type != msgpack::type::STR) return std::nullopt;
  return std::string_view(v->via.str.ptr, v->via.str.size);
}

bool has_type(const msgpack::object& map, std::string_view type) {
  return str_field(map, "type") == type;
}

std::optional<std::string> integer_text(const msgpack::object* v) {
  if (v == nullptr) return std::nullopt;
  if (v->type == msgpack::type::POSITIVE_INTEGER) return std::to_string(v->via.u64);
  if (v->type == msgpack::type::NEGATIVE_INTEGER) return std::to_string(v->via.i64);
  return std::nullopt;
}

// The first three records in order, then the last three in reverse order,
// each decoded once however often it appears (lists shorter than six).
struct Candidates {
  std::array<msgpack::object_handle, 2 * kHeadTail> decoded;
  std::array<const msgpack::object*, 2 * kHeadTail> maps{};
  size_t count = 0;

  explicit Candidates(const RecordList& records) {
    const size_t n = records.size();
    const size_t k = std::min(n, kHeadTail);
    std::array<size_t, 2 * kHeadTail> order{};
    size_t m = 0;
    for (size_t i = 0; i < k; ++i) order[m++] = i;
    for (size_t i = 0; i < k; ++i) order[m++] = n - 1 - i;
    std::array<const msgpack::object*, 2 * kHeadTail> by_slot{};
    for (size_t c = 0; c < m; ++c) {
      size_t first = 0;
      while (order[first] != order[c]) ++first;
      if (first == c) {
        by_slot[c] = decode_map(records[order[c]], decoded[c]) ? &decoded[c].get() : nullptr;
      } else {
        by_slot[c] = by_slot[first];
      }
      if (by_slot[c] != nullptr) maps[count++] = by_slot[c];
    }
  }

  const msgpack::object* first_of_type(std::string_view type) const {
    for (size_t i = 0; i < count; ++i) {
      if (has_type(*maps[i], type)) return maps[i];
    }
    return nullptr;
  }
  const msgpack::object* last_of_type(std::string_view type) const {
    for (size_t i = count; i > 0; --i) {
      if (has_type(*maps[i - 1], type)) return maps[i - 1];
    }
    return nullptr;
  }
};

std::optional<std::string> test_name(const Candidates& candidates) {
  const msgpack::object* start = candidates.first_of_type("start_test");
  if (start == nullptr) return std::nullopt;
  // The test runner's own id of the test (pytest's node id, the test file's
  // path with the class and the function) tells apart tests of the same name
  // in different files.
  if (const std::optional<std::string_view> id = str_field(*start, "test_id")) {
    return std::string(*id);
  }
  const std::optional<std::string_view> name = str_field(*start, "test_name");
  if (!name) return std::nullopt;
  std::string result;
  if (const std::optional<std::string_view> cls = str_field(*start, "test_class")) {
    result.append(*cls).push_back('.');
  }
  result.append(*name);
  return result;
}

std::optional<std::string> request_name(const Candidates& candidates) {
  const msgpack::object* request = candidates.first_of_type("django_request");
  const msgpack::object* response = candidates.last_of_type("django_response");
  if (request == nullptr || response == nullptr) return std::nullopt;
  const std::optional<std::string> status = integer_text(find_field(*response, "status_code"));
  if (!status) return std::nullopt;
  std::string result(str_field(*request, "method").value_or(""));
  result.push_back(' ');
  result.append(str_field(*request, "path_info").value_or(""));
  result.push_back(' ');
  result.append(*status);
  return result;
}

// The length of a string header at data[0] and the header's size, when data
// starts with a string.
std::optional<std::pair<size_t, size_t>> str_header(std::string_view data) {
  if (data.empty()) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const unsigned char m = p[0];
  if ((m & 0xe0u) == 0xa0u) return std::pair<size_t, size_t>{m & 0x1fu, 1};
  int width = 0;
  if (m == 0xd9) width = 1;
  if (m == 0xda) width = 2;
  if (m == 0xdb) width = 4;
  if (width == 0 || data.size() < static_cast<size_t>(1 + width)) return std::nullopt;
  size_t n = 0;
  for (int i = 0; i < width; ++i) n = (n << 8) | p[1 + i];
  return std::pair<size_t, size_t>{n, static_cast<size_t>(1 + width)};
}

}  // namespace

std::optional<std::string> resolve_trace_name(const std::optional<std::string>& explicit_name,
                                              const FramesByThread& frames_by_thread,
                                              std::string_view thread_key) {
  if (explicit_name) return explicit_name;
  const auto it = frames_by_thread.find(thread_key);
  if (it == frames_by_thread.end() || it->second.empty()) return std::nullopt;
  const Candidates candidates(it->second);
  if (std::optional<std::string> name = test_name(candidates)) return name;
  return request_name(candidates);
}

// Runs for every record of a batch when subtrees are tracked, so it walks the
// encoding in place instead of decoding into a tree (which allocates a zone).
std::optional<std::string> record_string_field(std::string_view record, std::string_view key) {
  // A record that is not exactly one well-formed object is skipped whole.
  if (mp::object_size(record) != record.size()) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(record.data());
  const unsigned char m = p[0];
  size_t entries = 0;
  size_t pos = 1;
  if ((m & 0xf0u) == 0x80u) {
    entries = m & 0x0fu;
  } else if (m == 0xde || m == 0xdf) {
    const int width = m == 0xde ? 2 : 4;
    for (int i = 0; i < width; ++i) entries = (entries << 8) | p[1 + i];
    pos += static_cast<size_t>(width);
  } else {
    return std::nullopt;  // not a map
  }
  // The whole record was validated above, so every size below fits.
  for (size_t i = 0; i < entries; ++i) {
    const std::string_view rest = record.substr(pos);
    const size_t key_size = mp::object_size(rest);
    const std::optional<std::pair<size_t, size_t>> header = str_header(rest);
    pos += key_size;
    const std::string_view value = record.substr(pos);
    if (header && rest.substr(header->second, header->first) == key) {
      const std::optional<std::pair<size_t, size_t>> value_header = str_header(value);
      if (!value_header) return std::nullopt;
      return std::string(value.substr(value_header->second, value_header->first));
    }
    pos += mp::object_size(value);
  }
  return std::nullopt;
}

}  // namespace vask
