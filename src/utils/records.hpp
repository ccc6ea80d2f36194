// Containers of encoded records shared by the engines and the trace document.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/py.hpp"
#include "utils/thread_ref.hpp"

namespace vask {

// One encoded MessagePack record (a frame record, a plugin record, a marker).
using Bytes = std::string;
using RecordList = std::vector<Bytes>;

// Hash for string-keyed maps that may be probed with a string_view without
// building a std::string (one hash probe per event on the hot path).
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

// Thread identity -> that thread's records, in recording order.
using FramesByThread = StringMap<RecordList>;
// Thread identity -> the thread that recorded under it (its object is not
// kept alive).
using ThreadMap = StringMap<ThreadRef>;

}  // namespace vask
