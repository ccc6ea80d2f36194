#include "monitoring_assignments.hpp"

#include <array>
#include <memory>
#include <utility>

#include "code_extra.hpp"
#include "utils/msgpack_write.hpp"

namespace vask {
namespace {

constexpr int8_t kAssignmentExt = 6;

// Runs when a code object holding a table is freed, GIL held: the table's
// names are released with it.
void free_instructions(void* table) { delete static_cast<CodeInstructions*>(table); }

Py_ssize_t instructions_index() {
  static const Py_ssize_t index = request_code_extra_index(free_instructions);
  return index;
}

// Names the compiler stores on its own in module and class bodies: no
// statement of the program assigns them.
constexpr std::array<std::string_view, 8> kImplicitNames = {
    "__module__",    "__qualname__",      "__firstlineno__", "__static_attributes__",
    "__classcell__", "__classdictcell__", "__doc__",         "__type_params__"};

// A variable name a store can be recorded under: a str that is neither one
// of the compiler's hidden names, which start with "@", nor one it stores on
// its own.
Ref recordable_name(PyObject* name) {
  std::optional<std::string_view> text = try_str_view(name);
  if (!text || text->empty() || text->front() == '@') return {};
  for (std::string_view implicit : kImplicitNames) {
    if (*text == implicit) return {};
  }
  return Ref::incref(name);
}

// The store `instruction` (a dis.Instruction, borrowed) makes, if it is one
// that is recorded. Throws PyErrSet.
std::optional<StoreSite> store_of(PyObject* instruction) {
  Ref opname = getattr(instruction, "opname");
  std::optional<std::string_view> op = try_str_view(opname.get());
  if (!op || !op->starts_with("STORE_")) return std::nullopt;
  StoreSite site;
  bool pair = false;         // argval is a (name, name) tuple
  bool both_stored = false;  // ... whose second name is stored too
  if (*op == "STORE_FAST") {
    site.kind = StoreKind::Fast;
  } else if (*op == "STORE_DEREF") {
    site.kind = StoreKind::Deref;
  } else if (*op == "STORE_GLOBAL") {
    site.kind = StoreKind::Global;
  } else if (*op == "STORE_NAME") {
    site.kind = StoreKind::Name;
  } else if (*op == "STORE_FAST_STORE_FAST") {
    site.kind = StoreKind::Fast;
    pair = both_stored = true;
  } else if (*op == "STORE_FAST_LOAD_FAST") {
    site.kind = StoreKind::Fast;
    pair = true;
  } else {
    return std::nullopt;  // STORE_ATTR, STORE_SUBSCR ...: no variable
  }
  Ref argval = getattr(instruction, "argval");
  if (!pair) {
    // An argval of None (or of another type) names no variable: nothing
    // could ever be recorded here.
    site.first = recordable_name(argval.get());
  } else if (PyTuple_Check(argval.get()) && PyTuple_GET_SIZE(argval.get()) == 2) {
    site.first = recordable_name(PyTuple_GET_ITEM(argval.get(), 0));
    if (both_stored) site.second = recordable_name(PyTuple_GET_ITEM(argval.get(), 1));
    if (!site.first) std::swap(site.first, site.second);
  }
  if (!site.first) return std::nullopt;
  return site;
}

// vask.monitoring.get_instruction(code, offset): a dis.Instruction or None.
Ref host_instruction(PyObject* code, int64_t offset) {
  Ref module = import("vask.monitoring");
  Ref get_instruction = getattr(module.get(), "get_instruction");
  Ref where = Ref::check(PyLong_FromLongLong(offset));
  return Ref::check(
      PyObject_CallFunctionObjArgs(get_instruction.get(), code, where.get(), nullptr));
}

std::optional<StoreSite> store_at(PyObject* code, int64_t offset) {
  if (offset < 0) return std::nullopt;
  Ref instruction = host_instruction(code, offset);
  if (instruction.get() == Py_None) return std::nullopt;
  return store_of(instruction.get());
}

// The opcode numbers of the stores, as this interpreter's `opcode` module
// has them; -1 for one it does not have.
struct StoreOpcodes {
  int extended_arg = -1;
  int fast = -1, deref = -1, global = -1, name = -1;
  int fast_store_fast = -1, fast_load_fast = -1;
};

const StoreOpcodes& store_opcodes() {
  static const StoreOpcodes ops = [] {
    Ref opcode = import("opcode");
    Ref opmap = getattr(opcode.get(), "opmap");
    auto number = [&](const char* op) {
      PyObject* n = PyDict_Check(opmap.get()) ? PyDict_GetItemString(opmap.get(), op) : nullptr;
      return n != nullptr && PyLong_Check(n) ? static_cast<int>(PyLong_AsLong(n)) : -1;
    };
    StoreOpcodes found;
    found.extended_arg = number("EXTENDED_ARG");
    found.fast = number("STORE_FAST");
    found.deref = number("STORE_DEREF");
    found.global = number("STORE_GLOBAL");
    found.name = number("STORE_NAME");
    found.fast_store_fast = number("STORE_FAST_STORE_FAST");
    found.fast_load_fast = number("STORE_FAST_LOAD_FAST");
    return found;
  }();
  return ops;
}

// The store the instruction at `offset` of `code` makes, read from the code
// object itself (its unspecialised instructions, co_code, and its names):
// the instruction before an event's, which no host call is made for.
// Throws PyErrSet.
std::optional<StoreSite> store_in_code(PyObject* code, int64_t offset) {
  if (offset < 0) return std::nullopt;
  Ref co_code = getattr(code, "co_code");
  if (!PyBytes_Check(co_code.get())) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(co_code.get()));
  const int64_t size = PyBytes_GET_SIZE(co_code.get());
  if (offset % 2 != 0 || offset + 1 >= size) return std::nullopt;
  const StoreOpcodes& ops = store_opcodes();
  const int op = bytes[offset];
  int64_t oparg = bytes[offset + 1];
  int shift = 8;
  for (int64_t at = offset - 2; at >= 0 && bytes[at] == ops.extended_arg && shift < 32;
       at -= 2, shift += 8) {
    oparg |= static_cast<int64_t>(bytes[at + 1]) << shift;
  }
  auto variable = [&](int64_t index) {
    Ref n = Ref::check(PyLong_FromLongLong(index));
    Ref fn = getattr(code, "_varname_from_oparg");
    return Ref::check(PyObject_CallOneArg(fn.get(), n.get()));
  };
  auto global_name = [&](int64_t index) -> Ref {
    Ref names = getattr(code, "co_names");
    if (!PyTuple_Check(names.get()) || index >= PyTuple_GET_SIZE(names.get())) return {};
    return Ref::incref(PyTuple_GET_ITEM(names.get(), index));
  };
  StoreSite site;
  Ref first;
  Ref second;
  if (op == ops.fast || op == ops.deref) {
    site.kind = op == ops.fast ? StoreKind::Fast : StoreKind::Deref;
    first = variable(oparg);
  } else if (op == ops.global || op == ops.name) {
    site.kind = op == ops.global ? StoreKind::Global : StoreKind::Name;
    first = global_name(oparg);
  } else if (op == ops.fast_store_fast) {
    site.kind = StoreKind::Fast;
    first = variable(oparg >> 4);
    second = variable(oparg & 15);
  } else if (op == ops.fast_load_fast) {
    site.kind = StoreKind::Fast;
    first = variable(oparg >> 4);
  } else {
    return std::nullopt;
  }
  if (first) site.first = recordable_name(first.get());
  if (second) site.second = recordable_name(second.get());
  if (!site.first) std::swap(site.first, site.second);
  if (!site.first) return std::nullopt;
  return site;
}

}  // namespace

CodeInstructions* CodeInstructions::of(PyObject* code) {
  const Py_ssize_t index = instructions_index();
  if (index < 0) return nullptr;
  const std::optional<void*> extra = code_extra(code, index);
  if (!extra) return nullptr;
  if (*extra != nullptr) return static_cast<CodeInstructions*>(*extra);
  auto table = std::make_unique<CodeInstructions>();
  if (!set_code_extra(code, index, table.get())) return nullptr;
  return table.release();  // owned by the code object from now on
}

InstructionFacts classify_instruction(PyObject* code, int64_t offset, CodeInstructions* table) {
  InstructionFacts facts;
  if (std::optional<StoreSite> store = store_at(code, offset)) {
    facts.kind = InstructionFacts::Kind::Store;
    facts.store = std::move(*store);
    return facts;
  }
  // Stores have no inline cache entries: the instruction after one is two
  // bytes on (an EXTENDED_ARG prefix is an instruction of its own).
  const InstructionFacts* before = table != nullptr ? table->find(offset - 2) : nullptr;
  if (before != nullptr) {
    if (before->kind == InstructionFacts::Kind::Store)
      facts.kind = InstructionFacts::Kind::AfterStore;
    return facts;
  }
  // Reached before the store ahead of it ever ran (a jump target): read it
  // from the code object (the host is asked about the event's own
  // instruction only).
  if (std::optional<StoreSite> store = store_in_code(code, offset - 2)) {
    if (table != nullptr) {
      InstructionFacts found;
      found.kind = InstructionFacts::Kind::Store;
      found.store = std::move(*store);
      table->add(offset - 2, std::move(found));
    }
    facts.kind = InstructionFacts::Kind::AfterStore;
  }
  return facts;
}

Ref assigned_value(const PendingAssignment& pending, PyObject* name) {
  PyObject* frame = pending.frame.get();
  Ref mapping;
  switch (pending.site.kind) {
    case StoreKind::Fast:
    case StoreKind::Deref: {
#if PY_VERSION_HEX >= 0x030C0000
      // One variable, read from the frame: no locals mapping is built.
      Ref value = Ref::steal(PyFrame_GetVar(reinterpret_cast<PyFrameObject*>(frame), name));
      if (!value && PyErr_ExceptionMatches(PyExc_NameError)) PyErr_Clear();
      if (!value && PyErr_Occurred()) throw_py();
      return value;
#else
      mapping = getattr(frame, interned().f_locals);
      break;
#endif
    }
    case StoreKind::Global:
      mapping = getattr(frame, interned().f_globals);
      break;
    case StoreKind::Name:
      // A module's or class body's own mapping (any mapping a metaclass
      // prepared).
      mapping = getattr(frame, interned().f_locals);
      break;
  }
  if (PyDict_CheckExact(mapping.get())) {
    PyObject* value = PyDict_GetItemWithError(mapping.get(), name);  // borrowed
    if (value == nullptr && PyErr_Occurred()) throw_py();
    return Ref::incref(value);
  }
  Ref value = Ref::steal(PyObject_GetItem(mapping.get(), name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_py();
    PyErr_Clear();
  }
  return value;
}

std::string_view dumped_entry_value(std::string_view dumped_map) noexcept {
  // 0x81: a fixmap of one entry; its key is the name, as text.
  if (dumped_map.size() < 2 || static_cast<unsigned char>(dumped_map[0]) != 0x81) {
    return dumped_map;
  }
  const std::string_view rest = dumped_map.substr(1);
  const size_t key = mp::object_size(rest);
  if (key == mp::npos || key >= rest.size()) return dumped_map;
  const std::string_view value = rest.substr(key);
  return mp::object_size(value) == value.size() ? value : dumped_map;
}

void write_assignment_record(Bytes& out, const PendingAssignment& pending, std::string_view name,
                             std::string_view value) {
  Bytes payload;
  mp::write_array_header(payload, 2);
  mp::write_str(payload, name);
  mp::write_raw(payload, value);

  mp::write_map_header(out, 8);
  write_str_pair(out, "path", pending.path);
  write_str_pair(out, "co_name", pending.co_name);
  write_str_pair(out, "qualname", pending.qualname);
  write_str_pair(out, "event", "line");
  write_str_pair(out, "frame_id", pending.frame_id);
  write_f64_pair(out, pending.timestamp);
  write_str_pair(out, "type", "frame");
  mp::write_str(out, "assign");
  mp::write_ext_header(out, kAssignmentExt, mp::checked_count(payload.size()));
  out.append(payload);
}

}  // namespace vask
