#include "core/serializer.hpp"

#include <utility>

#include "utils/msgpack_write.hpp"

namespace vask {
namespace {

std::string_view bytes_view(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

}  // namespace

Serializer Serializer::create() {
  Ref module = import("vask.serialize");
  Ref full = getattr(module.get(), "dump_msgpack");
  Ref light = getattr(module.get(), "dump_msgpack_lightweight_repr");
  Serializer serializer(std::move(full), std::move(light));
  // The module lives for the rest of the process (extension modules are never
  // unloaded), and with it the entry. Without it every dump is a call.
  const auto* api =
      static_cast<const dump::EngineApi*>(PyCapsule_Import(dump::kEngineApiCapsule, 0));
  if (api == nullptr) {
    PyErr_Clear();
    return serializer;
  }
  auto is_native = [](PyObject* fn, PyCFunction native) {
    return PyCFunction_Check(fn) && PyCFunction_GET_FUNCTION(fn) == native;
  };
  serializer.native_ = api;
  serializer.full_direct_ = is_native(serializer.full_.get(), api->full);
  serializer.light_direct_ = is_native(serializer.light_.get(), api->lightweight);
  return serializer;
}

void Serializer::dump_into(Bytes& out, PyObject* value, bool lightweight) const {
  if (!direct(lightweight)) {
    const Ref bytes = dump(value, lightweight);
    mp::write_raw(out, bytes_view(bytes.get()));
    return;
  }
  // What calling the function checks first: a dump at the recursion limit
  // fails as the call would.
  if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw_py();
  const int status =
      native_->dump(out, value, lightweight ? dump::DumpForm::Lightweight : dump::DumpForm::Full);
  Py_LeaveRecursiveCall();
  if (status < 0) throw_py();
}

void Serializer::dump_named_into(Bytes& out, const NamePairs& pairs, bool lightweight) const {
  if (!direct(lightweight)) fault("named values dumped without the native dumper");
  if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw_py();
  const int status =
      native_->dump_named(out, dump::NamedValues{pairs.data(), pairs.count()},
                          lightweight ? dump::DumpForm::Lightweight : dump::DumpForm::Full);
  Py_LeaveRecursiveCall();
  if (status < 0) throw_py();
}

Ref Serializer::dump(PyObject* value, bool lightweight) const {
  Ref out = call(lightweight ? light_.get() : full_.get(), value);
  // Only bytes (and subclasses): the record splices the buffer as it stands,
  // and a mutable bytearray could change under a later Python call.
  if (!PyBytes_Check(out.get())) {
    PyErr_Format(PyExc_TypeError, "vask.serialize dumper must return bytes, not '%.200s'",
                 Py_TYPE(out.get())->tp_name);
    throw_py();
  }
  // The bytes are spliced into records that are later concatenated into one
  // trace document: anything but exactly one object would make the whole
  // stored trace unreadable, so refuse it here, where it is one failed event.
  const std::string_view data = bytes_view(out.get());
  if (mp::object_size(data) != data.size()) {
    PyErr_SetString(PyExc_ValueError,
                    "vask.serialize dumper must return exactly one MessagePack object");
    throw_py();
  }
  return out;
}

Bytes Serializer::dump_msgpack(PyObject* value, bool lightweight) const {
  Ref bytes = dump(value, lightweight);
  return Bytes(bytes_view(bytes.get()));
}

}  // namespace vask
