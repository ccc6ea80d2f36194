// The configuration record read once at engine construction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/py.hpp"
#include "utils/msgpack_write.hpp"

namespace vask {

class Config {
 public:
  // Copies every (key, value) of the dict, in the dict's order. A key that is
  // not a str throws PyErrSet (TypeError naming the conversion).
  static Config from_dict(PyObject* dict);

  // Absent: the default. Present: only a real bool converts; anything else
  // (None and 1 included) throws PyErrSet (TypeError).
  bool get_bool(std::string_view key, bool default_value) const;
  // Absent: the default. Present: an int (or __index__) in 0..2^64-1;
  // otherwise throws PyErrSet (OverflowError or TypeError).
  uint64_t get_uint(std::string_view key, uint64_t default_value) const;
  // The stored object, or null when absent.
  PyObject* find(std::string_view key) const noexcept;

  // The map stored in trace documents: None, str, bool, int (signed 64-bit),
  // float (also ints out of range and __float__ objects); other values are
  // left out with the "unsupported config type: " stdout line. The keys
  // filters, processors, auto_emit, trace_points, flush_subtree_mb and
  // package_dir are left out. `warn`: false leaves the line out (a trace
  // point's document, whose trace says it already).
  MpMap to_dict(bool warn = true) const;
  // The entries to_dict() would store, as a new dict holding the values
  // themselves (by reference, unconverted). Throws PyErrSet.
  Ref stored_entries() const;

  size_t size() const noexcept { return entries_.size(); }

 private:
  std::vector<std::pair<std::string, Ref>> entries_;
};

}  // namespace vask
