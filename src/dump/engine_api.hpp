// How the engines reach the value dumpers of vask._dump without a
// Python-level call: a capsule of the module holding the functions it exposes
// and one entry that dumps with the module's current redaction.
#pragma once

#include <cstdint>

#include "dump/value_dump.hpp"
#include "support/py.hpp"
#include "utils/records.hpp"

namespace vask::dump {

// The capsule's name, as PyCapsule_Import finds it.
inline constexpr const char* kEngineApiCapsule = "vask._dump._engine_api";

struct EngineApi {
  // The C functions behind vask._dump.dump_msgpack and
  // dump_msgpack_lightweight_repr: an engine uses `dump` in place of a
  // dumper only when the one it fetched is the native one.
  PyCFunction full;
  PyCFunction lightweight;
  // dump_value() with the redaction vask._dump.configure_redaction set, as
  // the module's functions dump. Returns 0, or -1 with the program's
  // exception set (out is then as it was). GIL held; throws only a forced
  // unwind.
  int (*dump)(Bytes& out, PyObject* value, DumpForm form);
  // As `dump`, for the dict that dump_named_values() stands for.
  int (*dump_named)(Bytes& out, NamedValues values, DumpForm form);
};

}  // namespace vask::dump
