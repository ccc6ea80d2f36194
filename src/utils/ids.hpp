// Trace and frame ids (ULIDs), timestamps, frame events and thread identity.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/py.hpp"

namespace vask {

enum class FrameEvent : uint8_t {
  Call = 0,
  Return = 1,
  Unwind = 2,
  Resume = 3,
  Yield = 4,
  Throw = 5
};

// "call", "return", "unwind", "resume", "yield", "throw".
std::string_view event_name(FrameEvent e) noexcept;
// Return, unwind and yield close a frame; call, resume and throw open one.
constexpr bool is_closing(FrameEvent e) noexcept {
  return e == FrameEvent::Return || e == FrameEvent::Unwind || e == FrameEvent::Yield;
}

// The 26-character Crockford base32 text of a ULID made of a 48-bit
// millisecond time and 80 random bits (pure; exposed for tests).
std::string encode_ulid(uint64_t unix_ms, const std::array<uint8_t, 10>& random);
// A new ULID: the current time and 80 bits from this thread's CSPRNG pool
// (filled from getrandom). A clock before the epoch gives time part 0.
std::string new_ulid();
// "trc_" + ULID and "frm_" + ULID.
std::string new_trace_id();
std::string new_frame_id();

// The number of fork()s between the process that first asked and this one:
// the child of every later fork() sees one more. An engine notes it when it is
// built; in a forked child the engine's locks and buffers may have been left
// mid-use by threads the child does not have, so it must not touch them.
uint64_t fork_generation() noexcept;

// Seconds since the Unix epoch as a float. Throws InternalFault
// "System time is before unix epoch" on a clock before the epoch.
double timestamp();

// A frame id, "frm_" and a ULID, held inline: one is made on every recorded
// call and copied onto the call-site stack, and none of that allocates.
class FrameId {
 public:
  static constexpr size_t kCapacity = 4 + 26;
  // A new id, as new_frame_id().
  static FrameId make();
  // An id of a given text, of at most kCapacity bytes (longer throws
  // InternalFault).
  explicit FrameId(std::string_view text);
  std::string_view view() const noexcept { return {text_.data(), size_}; }
  operator std::string_view() const noexcept { return view(); }
  friend bool operator==(const FrameId& a, const FrameId& b) noexcept {
    return a.view() == b.view();
  }

 private:
  FrameId() noexcept = default;
  std::array<char, kCapacity> text_;
  uint8_t size_ = kCapacity;
};

// Frame object address -> frame id, one per thread per engine.
class FrameIds {
 public:
  // Opening events make a fresh id and store it under the frame; closing
  // events return the stored id, or a fresh unstored one when none is known.
  // The id is valid until the next call.
  const FrameId& get_or_set(FrameEvent event, uint64_t frame_address);
  // The stored id, without making one.
  const FrameId* find(uint64_t frame_address) const;
  size_t size() const noexcept { return ids_.size(); }

 private:
  std::unordered_map<uint64_t, FrameId> ids_;
  std::optional<FrameId> unpaired_;  // the last id of a closing event without one stored
};

// "native_<native_id>", else "ident_<ident>", else "no_thread_id" (with the
// stdout warning). Throws PyErrSet on the errors that must reach the caller.
std::string get_thread_id(PyObject* thread);

}  // namespace vask
