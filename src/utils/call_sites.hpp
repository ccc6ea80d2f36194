// User-code call sites: the recorded frame below an event on the same thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/py.hpp"
#include "utils/ids.hpp"

namespace vask {

struct CallSite {
  FrameId call_frame_id;
  int32_t line_number;
};

struct CallFrameEntry {
  Ref frame;  // strong reference to the frame object
  FrameId frame_id;
};

// The call site over a stack of open recorded frames (top at the end).
// Throws PyErrSet when the candidate is not a frame or its line cannot be read.
std::optional<CallSite> user_code_call_site(std::span<const CallFrameEntry> entries,
                                            std::string_view frame_id);

// The stack of recorded frames open on one thread, one per thread per engine.
class CallFrames {
 public:
  // Computes the call site of an event, then pushes (opening events) or pops
  // (closing events). On error the stack is left unchanged.
  std::optional<CallSite> get_user_code_call_site(PyObject* frame, FrameEvent event,
                                                  const FrameId& frame_id);
  // A snapshot of the stack with new references, for plugins.
  std::vector<CallFrameEntry> get_bound() const;
  std::span<const CallFrameEntry> entries() const noexcept { return stack_; }
  size_t size() const noexcept { return stack_.size(); }
  // Whether `frame` is the recorded frame on top: the one a closing event
  // of a recorded call closes.
  bool top_is(PyObject* frame) const noexcept {
    return !stack_.empty() && stack_.back().frame.get() == frame;
  }

 private:
  std::vector<CallFrameEntry> stack_;
};

}  // namespace vask
