// The value serializer: the host package's two dump functions, reached
// directly in vask._dump when they are its own.
#pragma once

#include "dump/engine_api.hpp"
#include "support/py.hpp"
#include "utils/records.hpp"
#include "utils/serialize.hpp"

namespace vask {

// The two dump functions of vask.serialize. Each turns one Python value into
// bytes holding exactly one MessagePack object.
class Serializer final : public ValueDumper {
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
  void dump_into(Bytes& out, PyObject* value, bool lightweight) const override;
  // As dump_into() of the dict that `pairs` stand for, written by the native
  // dumper without the dict; only where it is the chosen one (direct()).
  void dump_named_into(Bytes& out, const NamePairs& pairs, bool lightweight) const override;
  // Whether the chosen dumper is called directly (tests).
  bool direct(bool lightweight) const noexcept override {
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

}  // namespace vask
