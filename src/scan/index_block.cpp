#include "scan/index_block.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace vask::scan {
namespace {

constexpr std::size_t kHead = 4;

[[noreturn]] void too_short() {
  throw std::invalid_argument("index block shorter than its columns");
}

void store(std::uint64_t value, std::uint8_t width, char* out) {
  // Narrowing keeps the low bytes: the value as the column's width wraps it.
  switch (width) {
    case 1: {
      const auto v = static_cast<std::uint8_t>(value);
      std::memcpy(out, &v, 1);
      break;
    }
    case 2: {
      const auto v = static_cast<std::uint16_t>(value);
      std::memcpy(out, &v, 2);
      break;
    }
    case 4: {
      const auto v = static_cast<std::uint32_t>(value);
      std::memcpy(out, &v, 4);
      break;
    }
    default:
      std::memcpy(out, &value, 8);
      break;
  }
}

// A zigzag LEB128 varint at `at` (advanced past it), as two's-complement bits.
std::uint64_t read_varint(std::span<const std::uint8_t> block, std::size_t& at) {
  std::uint64_t raw = 0;
  for (unsigned shift = 0;; shift += 7) {
    if (at >= block.size()) too_short();
    if (shift > 63) throw std::invalid_argument("index block varint too long");
    const std::uint8_t byte = block[at++];
    raw |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  return (raw >> 1) ^ (~(raw & 1) + 1);
}

void write_varint(std::int64_t value, std::string& out) {
  // zigzag: the sign in the lowest bit, so that small values of either sign are short
  std::uint64_t raw =
      (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
  while (raw >= 0x80) {
    out.push_back(static_cast<char>((raw & 0x7F) | 0x80));
    raw >>= 7;
  }
  out.push_back(static_cast<char>(raw));
}

}  // namespace

std::string encode_block(std::span<const std::vector<std::int64_t>> columns,
                         std::span<const BlockColumn> layout, std::size_t lo, std::size_t hi) {
  if (columns.size() != layout.size() || lo > hi || hi - lo > UINT32_MAX)
    throw std::invalid_argument("index block of unlike columns");
  const std::size_t count = hi - lo;
  std::string out;
  for (unsigned shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((count >> shift) & 0xFF));
  std::vector<std::int64_t> values(count);
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const std::vector<std::int64_t>& column = columns[c];
    if (column.size() < hi) throw std::invalid_argument("index block of unlike columns");
    if (layout[c].delta) {
      // row 0 is kept whole (`first`), the others as differences from the row before
      for (std::size_t r = 0; r < count; ++r) {
        const auto now = static_cast<std::uint64_t>(column[lo + r]);
        const auto before = static_cast<std::uint64_t>(r == 0 ? column[lo] : column[lo + r - 1]);
        values[r] = static_cast<std::int64_t>(now - before);
      }
    } else {
      std::copy(column.begin() + static_cast<std::ptrdiff_t>(lo),
                column.begin() + static_cast<std::ptrdiff_t>(hi), values.begin());
    }
    const std::int64_t ref = count ? *std::min_element(values.begin(), values.end()) : 0;
    std::uint64_t largest = 0;
    for (std::int64_t v : values)
      largest = std::max(largest, static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(ref));
    std::uint8_t width = 0;
    while (width < 8 && (largest >> (8 * width)) != 0) ++width;
    out.push_back(static_cast<char>(width));
    write_varint(ref, out);
    if (layout[c].delta) write_varint(count ? column[lo] : 0, out);
    const std::size_t at = out.size();
    out.resize(at + count * width);
    char* planes = out.data() + at;
    for (std::size_t r = 0; r < count; ++r) {
      const std::uint64_t stored =
          static_cast<std::uint64_t>(values[r]) - static_cast<std::uint64_t>(ref);
      for (std::size_t place = 0; place < width; ++place)
        planes[place * count + r] = static_cast<char>((stored >> (8 * place)) & 0xFF);
    }
  }
  return out;
}

std::uint32_t block_rows(std::span<const std::uint8_t> block) {
  if (block.size() < kHead) throw std::invalid_argument("index block shorter than its head");
  return static_cast<std::uint32_t>(block[0]) | static_cast<std::uint32_t>(block[1]) << 8 |
         static_cast<std::uint32_t>(block[2]) << 16 | static_cast<std::uint32_t>(block[3]) << 24;
}

std::vector<std::string> decode_block(std::span<const std::uint8_t> block,
                                      std::span<const BlockColumn> layout, std::size_t lo,
                                      std::size_t hi) {
  const std::size_t count = block_rows(block);
  if (lo > hi || hi > count) throw std::invalid_argument("rows outside the index block");
  for (const BlockColumn& column : layout) {
    if (column.width != 1 && column.width != 2 && column.width != 4 && column.width != 8) {
      throw std::invalid_argument("index block column of an unknown width");
    }
  }

  const std::size_t rows = hi - lo;
  std::vector<std::string> out;
  out.reserve(layout.size());
  std::vector<std::uint64_t> values(rows);
  std::size_t at = kHead;
  for (const BlockColumn& column : layout) {
    if (at >= block.size()) too_short();
    const std::uint8_t stored = block[at++];
    if (stored > 8) throw std::invalid_argument("index block column stored too wide");
    const std::uint64_t ref = read_varint(block, at);
    const std::uint64_t first = column.delta ? read_varint(block, at) : 0;
    // `count * stored` cannot overflow: count < 2^32 and stored <= 8.
    if (block.size() - at < count * stored) too_short();
    const std::uint8_t* planes = block.data() + at;
    at += count * stored;

    // Row r's stored value, its bytes gathered from the planes.
    auto stored_at = [&](std::size_t r) {
      std::uint64_t v = 0;
      for (std::size_t place = 0; place < stored; ++place) {
        v |= static_cast<std::uint64_t>(planes[place * count + r]) << (8 * place);
      }
      return v;
    };
    if (!column.delta) {
      for (std::size_t r = 0; r < rows; ++r) values[r] = ref + stored_at(lo + r);
    } else if (rows > 0) {
      // Sums wrap modulo 2^64, as the writer's differences did.
      std::uint64_t running = first;
      for (std::size_t r = 1; r <= lo; ++r) running += ref + stored_at(r);
      values[0] = running;
      for (std::size_t r = 1; r < rows; ++r) {
        running += ref + stored_at(lo + r);
        values[r] = running;
      }
    }
    std::string& decoded = out.emplace_back(rows * column.width, '\0');
    for (std::size_t r = 0; r < rows; ++r)
      store(values[r], column.width, decoded.data() + r * column.width);
  }
  // A block of another layout, or whose head was changed, rarely ends where its
  // columns do.
  if (at != block.size()) throw std::invalid_argument("index block longer than its columns");
  return out;
}

std::vector<std::string> decode_blocks(std::span<const std::span<const std::uint8_t>> blocks,
                                       std::span<const BlockColumn> layout, std::size_t lo,
                                       std::size_t hi) {
  std::size_t total = 0;
  for (const auto& block : blocks) total += block_rows(block);
  if (lo > hi || hi > total) throw std::invalid_argument("rows outside the index block");
  std::vector<std::string> out(layout.size());
  for (std::size_t c = 0; c < layout.size(); ++c) out[c].reserve((hi - lo) * layout[c].width);
  std::size_t base = 0;  // the first row of the block, counted over all of them
  for (const auto& block : blocks) {
    const std::size_t count = block_rows(block);
    const std::size_t from = std::max(lo, base);
    const std::size_t to = std::min(hi, base + count);
    // A lone block is read even for no rows: a damaged one is refused as decode_block does.
    if (from < to || blocks.size() == 1) {
      const std::vector<std::string> part = decode_block(block, layout, from - base, to - base);
      for (std::size_t c = 0; c < layout.size(); ++c) out[c] += part[c];
    }
    base += count;
  }
  return out;
}

std::vector<std::string> decode_blocks(std::span<const std::span<const std::uint8_t>> blocks,
                                       std::span<const BlockColumn> layout,
                                       std::span<const RowRange> ranges) {
  std::vector<std::string> out(layout.size());
  for (const RowRange& range : ranges) {
    const std::vector<std::string> part = decode_blocks(blocks, layout, range.lo, range.hi);
    for (std::size_t c = 0; c < layout.size(); ++c) out[c] += part[c];
  }
  return out;
}

}  // namespace vask::scan
