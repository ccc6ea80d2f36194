// The frame record, with its values written by a ValueDumper.
#pragma once

#include <optional>
#include <string_view>

#include "core/frame_locals.hpp"
#include "support/py.hpp"
#include "utils/call_sites.hpp"
#include "utils/ids.hpp"
#include "utils/records.hpp"

namespace vask {

// What the frame record needs of the value serializer (core/serializer.hpp):
// each value appended to a buffer as exactly one MessagePack object.
class ValueDumper {
 public:
  // Appends the dump of `value`. Throws PyErrSet, leaving `out` as it was.
  // GIL held.
  virtual void dump_into(Bytes& out, PyObject* value, bool lightweight) const = 0;
  // As dump_into() of the dict that `pairs` stand for; only where direct().
  virtual void dump_named_into(Bytes& out, const NamePairs& pairs, bool lightweight) const = 0;
  // Whether the dumper can write named values without their dict.
  virtual bool direct(bool lightweight) const noexcept = 0;

 protected:
  ~ValueDumper() = default;
};

enum class ArgKind : uint8_t { None = 0, Argument = 1, Exception = 2 };

// Appends one 10-entry frame record to buffer. Nothing is appended unless the
// whole record can be written: a failure reading the frame or in a dumper
// throws PyErrSet and leaves buffer byte for byte unchanged. frame must be a
// frame object; arg is borrowed and ignored for ArgKind::None (null counts as
// None). `event_code` (null: the frame's own) is the code object the event
// names: the record's path and qualname are its, at `event_line` (negative:
// its first line) when it is not the frame's own; the frame's variables are
// always read with the frame's own code object. GIL held.
void write_frame_with_serializer(Bytes& buffer, PyObject* frame, const ValueDumper& serializer,
                                 const std::optional<CallSite>& call_site, ArgKind arg_kind,
                                 PyObject* arg, FrameEvent event, std::string_view co_name,
                                 std::string_view frame_id, bool lightweight_repr,
                                 bool omit_return_locals, PyObject* event_code = nullptr,
                                 int event_line = -1);

// frame.f_locals as a dict, without "__builtins__" (a copy is made when the
// key has to be removed, so the frame's own mapping is never touched).
Ref get_locals(PyObject* frame);

}  // namespace vask
