// Trace names derived from a thread's own records.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "utils/records.hpp"

namespace vask {

// The explicit name, else the "test_id" of a "start_test" record (or its
// "test_class.test_name" when it has no id),
// else "METHOD path status" from "django_request"/"django_response" records,
// looking only at the first three and the last three records of the thread.
// Calls no Python code; malformed records (also those nested deeper than
// 1024) are skipped. At most six records are decoded.
std::optional<std::string> resolve_trace_name(const std::optional<std::string>& explicit_name,
                                              const FramesByThread& frames_by_thread,
                                              std::string_view thread_key);

// The value of the first `key` entry of an encoded record map, when that value
// is a string (the "type" or "co_name" of a record, for the subtree
// accounting). A record that is not exactly one well-formed map gives
// nullopt. Reads the encoding in place without allocating a decode tree, and
// so has no nesting limit of its own.
std::optional<std::string> record_string_field(std::string_view record, std::string_view key);

}  // namespace vask
