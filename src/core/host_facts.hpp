// What a trace document says about the run, read from the host: the
// package's version and commit, the redacted command line, the platform
// and the stored configuration. Shared by every document the
// engines and the trace-point writer make.
#pragma once

#include "config.hpp"
#include "utils/trace.hpp"

namespace vask {

// Reads the facts; `use_monitoring` is the engine's own entry of the stored
// configuration (as is "use_rust", always true); `warn`: whether values the
// configuration cannot store are reported (Config::to_dict). Python code
// runs. Throws PyErrSet.
HostFacts collect_host_facts(const Config& config, bool use_monitoring, bool warn = true);

}  // namespace vask
