// Trace names derived from a thread's own records.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "utils/records.hpp"

namespace vask {

// The explicit name, else "test_class.test_name" from a "start_test" record,
// else "METHOD path status" from "django_request"/"django_response" records,
// looking only at the first three and the last three records of the thread.
// Calls no Python code; malformed records are skipped.
std::optional<std::string> resolve_trace_name(const std::optional<std::string>& explicit_name,
                                              const FramesByThread& frames_by_thread,
                                              std::string_view thread_key);

// The "type" string of an encoded record map, when it has one (used by the
// subtree accounting and the views of records).
std::optional<std::string> record_string_field(std::string_view record, std::string_view key);

}  // namespace vask
