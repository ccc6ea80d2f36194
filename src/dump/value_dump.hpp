// The value dumpers: any Python value as one bounded MessagePack object, for
// the locals, arguments and return values of frame records.
//
// What is written for each kind of value is described in the docstring of
// the Python module vask.serialize, which exposes these dumpers; the
// extension types below are mirrored by vask.values, which decodes them.
//
// The engines reach the dumpers through vask.serialize today. dump_value()
// is the interface for calling them without a Python-level call: it appends
// to any buffer and takes the Redactor to use, so an engine can keep one
// built from its own configuration.
#pragma once

#include <cstdint>
#include <string_view>

#include "dump/object_state.hpp"
#include "dump/redaction_py.hpp"
#include "support/py.hpp"
#include "utils/records.hpp"

namespace vask::dump {

// Longest text written, in characters; longer texts (and reprs) are cut.
inline constexpr Py_ssize_t kMaxStringChars = 1000;
// Longest binary written, in bytes.
inline constexpr Py_ssize_t kMaxBytes = 1000;
// Most items written per list, tuple, set or dict.
inline constexpr Py_ssize_t kMaxItems = 100;
// Deepest nesting of containers written; the outermost container is level 1.
inline constexpr int kMaxDepth = 8;
// Objects written by their fields nested in one another, the outermost
// being 1: an object deeper in is written with its type, address and count
// of fields only, unless its fields are a few short plain values.
inline constexpr int kMaxObjectDepth = 2;
// Most fields of an object written whole inside another object written by
// its fields: one with more (an environment, a parser, a grammar element)
// is written as an object past kMaxObjectDepth is. Such objects are shared
// by many others, each of which would write them again within its cap.
inline constexpr Py_ssize_t kMaxNestedObjectFields = 8;
// Length of each repr written by the lightweight form.
inline constexpr Py_ssize_t kLightweightReprChars = 100;
// Bytes an entry of a container may always write while its container is
// under the byte cap, whatever its fair share: as much as one short repr.
inline constexpr size_t kMinShare = static_cast<size_t>(kLightweightReprChars);
// Budget of one dump: each value costs one unit plus the bytes of its text.
inline constexpr int64_t kMaxOutputUnits = 256 * 1024;
// Ints with more bits are not converted to decimal text (quadratic cost).
inline constexpr size_t kMaxIntReprBits = 10000;
// How deep dumps may nest through reprs that dump (a __repr__ calling
// dump_msgpack); a deeper one writes kUnserializable.
inline constexpr int kMaxNestedDumps = 8;

// Key of the extra entry that marks a map cut at kMaxItems entries.
inline constexpr std::string_view kTruncatedKey = "<...>";
// Written in place of values once kMaxOutputUnits is used up.
inline constexpr std::string_view kOutputLimitMarker = "<output limit reached>";
// Written when a dump fails as a whole (out of memory, nested too deep).
inline constexpr std::string_view kUnserializable = "<unserializable value>";

// MessagePack extension types of the dumpers' output. 6 is the monitoring
// engine's assignment record and is never used here.
// Text that stands for a value which is not stored as itself: an object's
// repr, an int too large for MessagePack, or a marker of the dumper
// ("<redacted>", "<cycle: list>", "<3 more items>"). Payload: UTF-8 text.
inline constexpr int8_t kExtRepr = 1;
// A tuple, a set, a frozenset. Payload: one MessagePack array of the items.
inline constexpr int8_t kExtTuple = 2;
inline constexpr int8_t kExtSet = 3;
inline constexpr int8_t kExtFrozenset = 4;
// An object written by its state, not its repr. Payload: one MessagePack
// array [qualified type name (str), address (uint), fields (map of attribute
// name to value, cut as any map)].
inline constexpr int8_t kExtObject = 7;

enum class DumpForm : uint8_t {
  Full,         // values as themselves, objects by their fields or known-pure repr
  Lightweight,  // a dict as a map of short reprs; anything else as one short repr
};

// Fetches what the dumpers need from the interpreter (enum.Enum, to write
// enum members as their repr); call once before the first dump_value().
// Idempotent. GIL held; throws PyErrSet.
void prepare_dumpers();

// Appends one MessagePack object for `value` (borrowed) to `out`. Never fails
// because of the value: a value that cannot be written becomes a marker, and
// a failure of the dump as a whole (out of memory) writes kUnserializable.
// The one exception is an exception that belongs to the traced program
// (belongs_to_program: KeyboardInterrupt, SystemExit, a signal handler's)
// raised while a repr ran: then `out` is left as it was and PyErrSet is
// thrown with that exception set. The only user code that runs is repr().
// GIL held; `redactor` stays alive for the call.
void dump_value(Bytes& out, PyObject* value, DumpForm form, Redactor& redactor);

// Names and values that stand for a dict holding them in this order:
// `pairs` is name, value, name, value, ... (`count` pairs; borrowed, kept
// alive by the caller for the call), the names distinct exact str.
struct NamedValues {
  PyObject* const* pairs;
  Py_ssize_t count;
};

// dump_value() of that dict, written without making it: the same bytes, the
// same contract.
void dump_named_values(Bytes& out, NamedValues values, DumpForm form, Redactor& redactor);

// dump_value() into a new bytes object. Throws PyErrSet as dump_value().
Ref dump_to_bytes(PyObject* value, DumpForm form, Redactor& redactor);

}  // namespace vask::dump
