#include "utils/call_sites.hpp"

#include <climits>

#include "core/code_facts.hpp"

namespace vask {

// frame_line (PyFrame_GetLineNumber) returns a C int, which is the record's int32 here, so
// a real frame's line is always in range.
static_assert(sizeof(int) == sizeof(int32_t) && INT_MAX == INT32_MAX);

std::optional<CallSite> user_code_call_site(std::span<const CallFrameEntry> entries,
                                            std::string_view frame_id) {
  if (entries.empty()) return std::nullopt;

  // The event's own frame on top (a return): its call site is the entry below.
  const CallFrameEntry* candidate = &entries.back();
  if (candidate->frame_id.view() == frame_id) {
    if (entries.size() == 1) return std::nullopt;
    candidate = &entries[entries.size() - 2];
    if (candidate->frame_id.view() == frame_id) return std::nullopt;
  }

  PyObject* frame = candidate->frame.get();
  if (frame == nullptr || !PyFrame_Check(frame)) {
    conversion_error(frame, "PyFrame");
  }
  const int line = frame_line(reinterpret_cast<PyFrameObject*>(frame));
  return CallSite{candidate->frame_id, static_cast<int32_t>(line)};
}

std::optional<CallSite> CallFrames::get_user_code_call_site(PyObject* frame, FrameEvent event,
                                                            const FrameId& frame_id) {
  // Computed over the live stack: nothing below runs Python code or changes
  // the stack, so this equals computing over a snapshot, without the copies.
  std::optional<CallSite> site = user_code_call_site(stack_, frame_id);

  if (is_closing(event)) {
    if (!stack_.empty()) {
      // Dropping the frame may run arbitrary finalisers; do it only once the
      // stack is consistent again.
      Ref popped = std::move(stack_.back().frame);
      stack_.pop_back();
    }
  } else {
    stack_.push_back(CallFrameEntry{Ref::incref(frame), frame_id});
  }
  return site;
}

std::vector<CallFrameEntry> CallFrames::get_bound() const {
  std::vector<CallFrameEntry> snapshot;
  snapshot.reserve(stack_.size());
  for (const CallFrameEntry& entry : stack_) {
    snapshot.push_back(CallFrameEntry{entry.frame.copy(), entry.frame_id});
  }
  return snapshot;
}

}  // namespace vask
