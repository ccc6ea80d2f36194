// The value serializer (the host package's two dumpers) and the frame record.
#pragma once

#include <optional>
#include <string_view>

#include "dump/engine_api.hpp"
#include "frame_locals.hpp"
#include "support/py.hpp"
#include "utils/call_sites.hpp"
#include "utils/ids.hpp"
#include "utils/records.hpp"

namespace vask {

// The two dump functions of vask.serialize. Each turns one Python value into
// bytes holding exactly one MessagePack object.
class Serializer {
 public:
  // Imports vask.serialize and reads dump_msgpack, then
  // dump_msgpack_lightweight_repr. A function that is vask._dump's own is
  // then called directly (dump_into), without a Python-level call or a bytes
  // object; any other (a program's replacement) is called as it stands.
  // Throws PyErrSet.
  static Serializer create();
  // Builds one from two callables directly (tests).
  Serializer(Ref full, Ref lightweight) : full_(std::move(full)), light_(std::move(lightweight)) {}

  // Calls the chosen dumper and returns a new reference to its bytes object.
  // Throws PyErrSet when it raises, returns something that is not bytes (a
  // bytearray is refused too: TypeError), or returns bytes that are not
  // exactly one MessagePack object (ValueError). GIL held.
  Ref dump(PyObject* value, bool lightweight) const;
  // As dump(), copied into an owned byte string.
  Bytes dump_msgpack(PyObject* value, bool lightweight) const;
  // Appends what dump() returns to `out`, written there directly by the
  // native dumper when it is the chosen one. Throws PyErrSet as dump(),
  // leaving `out` as it was. GIL held.
  void dump_into(Bytes& out, PyObject* value, bool lightweight) const;
  // As dump_into() of the dict that `pairs` stand for, written by the native
  // dumper without the dict; only where it is the chosen one (direct()).
  void dump_named_into(Bytes& out, const NamePairs& pairs, bool lightweight) const;
  // Whether the chosen dumper is called directly (tests).
  bool direct(bool lightweight) const noexcept {
    return lightweight ? light_direct_ : full_direct_;
  }

 private:
  Ref full_;
  Ref light_;
  // vask._dump's entry for the engines, when it could be loaded.
  const dump::EngineApi* native_ = nullptr;
  bool full_direct_ = false;
  bool light_direct_ = false;
};

enum class ArgKind : uint8_t { None = 0, Argument = 1, Exception = 2 };

// Appends one 10-entry frame record to buffer. Nothing is appended unless the
// whole record can be written: a failure reading the frame or in a dumper
// throws PyErrSet and leaves buffer byte for byte unchanged. frame must be a
// frame object; arg is borrowed and ignored for ArgKind::None (null counts as
// None). GIL held.
void write_frame_with_serializer(Bytes& buffer, PyObject* frame, const Serializer& serializer,
                                 const std::optional<CallSite>& call_site, ArgKind arg_kind,
                                 PyObject* arg, FrameEvent event, std::string_view co_name,
                                 std::string_view frame_id, bool lightweight_repr,
                                 bool omit_return_locals);

// frame.f_locals as a dict, without "__builtins__" (a copy is made when the
// key has to be removed, so the frame's own mapping is never touched).
Ref get_locals(PyObject* frame);

}  // namespace vask
