// The trace document: one MessagePack map per stored trace.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/py.hpp"
#include "utils/records.hpp"

namespace vask {

class Config;

struct TraceParts {
  const FramesByThread& frames_by_thread;
  const ThreadMap& threads;
  std::string_view trace_id;
  const std::optional<std::string>& trace_name;
  std::string_view source;
  std::string_view current_thread_id;
  const Config& config;
  bool use_monitoring;
  std::string_view root_trace_id;
  double timestamp;
};

// Builds the 11-entry trace document. All host metadata is collected before
// anything is written; a failure there throws PyErrSet. Returns a bytes object.
Ref build_trace_from_parts(const TraceParts& parts);

}  // namespace vask
