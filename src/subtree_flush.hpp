// Subtree flushing thresholds and state shared by both engines.
#pragma once

#include <cstdint>
#include <optional>

#include "support/py.hpp"

namespace vask {

inline constexpr uint64_t kDefaultFlushSubtreeBytes = 524'288'000;  // 500 MiB
inline constexpr uint64_t kFlushCountInterval = 1024;                // records

// The byte threshold from configuration "flush_subtree_mb": absent gives the
// default, None/False disable (nullopt). Throws PyErrSet (ValueError) with the
// fixed messages for True, non-numbers, negatives, NaN, infinities and values
// whose byte count does not fit 64 bits.
std::optional<uint64_t> resolve_flush_subtree_bytes(PyObject* config);

// threshold - max(threshold / 8, 64 MiB), floored at 0, for thresholds of at
// least 1 MiB; 0 otherwise (every batch counted from the first).
uint64_t flush_trigger_bytes(std::optional<uint64_t> flush_subtree_bytes) noexcept;

}  // namespace vask
