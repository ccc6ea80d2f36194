#include "scan/index_block.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vask::scan {
namespace {

constexpr std::size_t kHead = 4;

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

}  // namespace

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
  std::size_t need = kHead;
  for (const BlockColumn& column : layout) {
    if (column.width != 1 && column.width != 2 && column.width != 4 && column.width != 8) {
      throw std::invalid_argument("index block column of an unknown width");
    }
    need += count * column.width;
  }
  if (block.size() < need) throw std::invalid_argument("index block shorter than its columns");

  const std::size_t rows = hi - lo;
  std::vector<std::string> out;
  out.reserve(layout.size());
  std::vector<std::uint64_t> values(rows);
  const std::uint8_t* at = block.data() + kHead;
  for (const BlockColumn& column : layout) {
    std::fill(values.begin(), values.end(), 0);
    std::uint64_t before = 0;  // the sum of the rows before lo, of a delta column
    for (std::size_t place = 0; place < column.width; ++place) {
      const std::uint8_t* plane = at + place * count;
      const unsigned shift = static_cast<unsigned>(8 * place);
      if (column.delta && lo > 0) {
        // Sums wrap modulo 2^64: adding each place's bytes apart is the same sum.
        std::uint64_t sum = 0;
        for (std::size_t r = 0; r < lo; ++r) sum += plane[r];
        before += sum << shift;
      }
      for (std::size_t r = 0; r < rows; ++r) {
        values[r] |= static_cast<std::uint64_t>(plane[lo + r]) << shift;
      }
    }
    if (column.delta) {
      std::uint64_t running = before;
      for (std::uint64_t& v : values) {
        running += v;
        v = running;
      }
    }
    std::string& decoded = out.emplace_back(rows * column.width, '\0');
    for (std::size_t r = 0; r < rows; ++r)
      store(values[r], column.width, decoded.data() + r * column.width);
    at += count * column.width;
  }
  return out;
}

}  // namespace vask::scan
