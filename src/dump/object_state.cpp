#include "dump/object_state.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "dump/instance_values.hpp"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#endif
#include <datetime.h>
#include <structmember.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace vask::dump {
namespace {

// Members that hold an object: what __slots__ makes (T_OBJECT_EX), and the
// older T_OBJECT.
constexpr int kMemberObjectEx = 16;
constexpr int kMemberObject = 6;

std::shared_ptr<const ValuePolicy>& policy_slot() {
  // Leaked on purpose, as the redaction: dumps may run during finalisation.
  static auto* slot =
      new std::shared_ptr<const ValuePolicy>(std::make_shared<const ValuePolicy>());
  return *slot;
}

// ---- facts fetched once --------------------------------------------------------

struct Known {
  PyObject* enum_type = nullptr;      // enum.Enum
  PyObject* enum_meta = nullptr;      // type(enum.Enum)
  PyObject* enum_reprs[2] = {};       // Enum.__repr__, Flag.__repr__
  PyObject* object_class = nullptr;   // object.__dict__["__class__"]
  PyObject* dataclass_repr_code = nullptr;  // the code of every generated dataclass __repr__
  PyObject* field_type = nullptr;     // dataclasses.Field
  PyObject* field_marker = nullptr;   // dataclasses._FIELD
  Py_ssize_t field_repr_offset = -1;  // where Field keeps `repr`
  Py_ssize_t field_kind_offset = -1;  // and `_field_type`
  PyObject* name_dataclass_fields = nullptr;
  PyObject* name_repr = nullptr;
  PyObject* name_class = nullptr;
  PyObject* name_value = nullptr;
  PyObject* name_value_repr = nullptr;
  PyObject* name_wrapped = nullptr;
  PyObject* name_attrs_attrs = nullptr;
  PyObject* name_compat = nullptr;
  // attrs, once a program has loaded it (never imported here): the module
  // every generated __repr__ reads its recursion guard from, and where
  // attrs.Attribute keeps `name` and `repr`.
  PyObject* attrs_compat = nullptr;
  PyTypeObject* attrs_attribute = nullptr;
  Py_ssize_t attribute_name_offset = -1;
  Py_ssize_t attribute_repr_offset = -1;
  // Where staticmethod and classmethod keep the callable they wrap (their
  // "__func__" member); -1 when it cannot be found.
  Py_ssize_t staticmethod_func_offset = -1;
  Py_ssize_t classmethod_func_offset = -1;
};
Known g;  // strong references, kept for the life of the process

PyObject* intern(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (s == nullptr) throw_py();
  return s;
}

// The offset of the object member `name` of the static-layout class tp. Looked
// up, not read from tp_dict: static types keep their dicts elsewhere on newer
// versions.
Py_ssize_t member_offset(PyTypeObject* tp, const char* name) {
  PyObject* key = intern(name);
  PyObject* d = _PyType_Lookup(tp, key);  // borrowed
  Py_DECREF(key);
  if (d == nullptr || Py_TYPE(d) != &PyMemberDescr_Type) return -1;
  PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
  if (m->type != kMemberObjectEx && m->type != kMemberObject) return -1;
  return m->offset;
}

// A generated dataclass repr: the wrapper dataclasses puts around every
// generated __repr__ shares one code object; a probe class gives it.
void prepare_dataclasses() {
  Ref module = import("dataclasses");
  Ref make = getattr(module.get(), "make_dataclass");
  Ref name = make_str("_VaskProbe");
  Ref fields = Ref::check(Py_BuildValue("[s]", "x"));
  Ref probe = Ref::check(PyObject_CallFunctionObjArgs(make.get(), name.get(), fields.get(), nullptr));
  if (!PyType_Check(probe.get())) return;
  PyObject* repr = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(probe.get())->tp_dict,
                                           g.name_repr);
  if (repr == nullptr || !PyFunction_Check(repr)) {
    PyErr_Clear();
    return;
  }
  Ref field = getattr(module.get(), "Field");
  Ref marker = getattr(module.get(), "_FIELD");
  if (!PyType_Check(field.get())) return;
  auto* ft = reinterpret_cast<PyTypeObject*>(field.get());
  g.field_repr_offset = member_offset(ft, "repr");
  g.field_kind_offset = member_offset(ft, "_field_type");
  if (g.field_repr_offset < 0 || g.field_kind_offset < 0) return;
  g.dataclass_repr_code = Py_NewRef(PyFunction_GET_CODE(repr));
  g.field_type = field.release();
  g.field_marker = marker.release();
}

// ---- standard-library value types, found once their module is loaded ----------

enum class Kind : uint8_t { Plain, WithTzinfo, Timezone };

struct StdType {
  const char* module;  // as sys.modules names it
  const char* name;
  Kind kind;
};
constexpr StdType kStdTypes[] = {
    {"datetime", "date", Kind::Plain},
    {"datetime", "datetime", Kind::WithTzinfo},
    {"datetime", "time", Kind::WithTzinfo},
    {"datetime", "timedelta", Kind::Plain},
    {"datetime", "timezone", Kind::Timezone},
    {"decimal", "Decimal", Kind::Plain},
    {"fractions", "Fraction", Kind::Plain},
    {"uuid", "UUID", Kind::Plain},
    {"pathlib", "PurePath", Kind::Plain},
    {"pathlib", "PurePosixPath", Kind::Plain},
    {"pathlib", "PureWindowsPath", Kind::Plain},
    {"pathlib", "Path", Kind::Plain},
    {"pathlib", "PosixPath", Kind::Plain},
    {"pathlib", "WindowsPath", Kind::Plain},
    {"re", "Pattern", Kind::Plain},
    {"zoneinfo", "ZoneInfo", Kind::Timezone},
};
constexpr size_t kStdTypeCount = sizeof kStdTypes / sizeof kStdTypes[0];

struct StdTypes {
  PyTypeObject* types[kStdTypeCount] = {};  // strong references once found
  bool module_seen[kStdTypeCount] = {};
};
StdTypes g_std;

// The module part of a type's name, with a leading "_" dropped and only its
// first component ("pathlib._local" -> "pathlib", "_decimal" -> "decimal").
std::string_view module_root(PyTypeObject* tp) {
  std::string_view module;
  if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
    PyObject* m = PyDict_GetItemWithError(tp->tp_dict, interned().dunder_module);
    if (m == nullptr || !PyUnicode_Check(m)) {
      PyErr_Clear();
      return {};
    }
    const auto text = try_str_view(m);
    if (!text) return {};
    module = *text;
  } else {
    const char* dot = std::strchr(tp->tp_name, '.');
    if (dot == nullptr) return {};
    module = std::string_view(tp->tp_name, static_cast<size_t>(dot - tp->tp_name));
  }
  if (!module.empty() && module.front() == '_') module.remove_prefix(1);
  return module.substr(0, module.find('.'));
}

// Looks up the types of `module` if it is loaded (nothing is imported).
void find_std_types(std::string_view module) {
  for (size_t i = 0; i < kStdTypeCount; ++i) {
    if (g_std.types[i] != nullptr || module != kStdTypes[i].module) continue;
    PyObject* loaded = PyImport_GetModule(make_str(kStdTypes[i].module).get());
    if (loaded == nullptr) {
      PyErr_Clear();
      continue;
    }
    Ref m = Ref::steal(loaded);
    // A module's attributes: a plain dict lookup, no module __getattr__.
    PyObject* d = PyModule_Check(m.get()) ? PyModule_GetDict(m.get()) : nullptr;
    PyObject* t = d == nullptr ? nullptr : PyDict_GetItemString(d, kStdTypes[i].name);
    if (t != nullptr && PyType_Check(t)) {
      g_std.types[i] = reinterpret_cast<PyTypeObject*>(Py_NewRef(t));
    }
  }
}

const StdType* std_type(PyTypeObject* tp) {
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < kStdTypeCount; ++i) {
      if (g_std.types[i] == tp) return &kStdTypes[i];
    }
    if (pass == 1) break;
    const std::string_view root = module_root(tp);
    bool wanted = false;
    for (size_t i = 0; i < kStdTypeCount; ++i) {
      wanted |= g_std.types[i] == nullptr && root == kStdTypes[i].module;
    }
    if (!wanted) break;
    find_std_types(root);
  }
  return nullptr;
}

// ---- verdicts ------------------------------------------------------------------

// Values whose repr is the built-in type's own and shows nothing else.
bool is_leaf(PyObject* x) noexcept {
  PyTypeObject* tp = Py_TYPE(x);
  return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type ||
         tp == &PyBool_Type || x == Py_None || tp == &PyBytes_Type || tp == &PyComplex_Type;
}

bool leaves(PyObject* tuple) noexcept {
  if (!PyTuple_CheckExact(tuple)) return is_leaf(tuple);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    if (!is_leaf(PyTuple_GET_ITEM(tuple, i))) return false;
  }
  return true;
}

// Types whose repr is C code that formats fixed facts of the object (names,
// addresses, numbers), never the repr of another object.
bool pure_builtin(PyTypeObject* tp) noexcept {
  return tp == &PyFunction_Type || tp == &PyCFunction_Type || tp == &PyCode_Type ||
         tp == &PyRange_Type || tp == &PyComplex_Type || tp == &PyGen_Type ||
         tp == &PyCoro_Type || tp == &PyAsyncGen_Type || tp == &PyMethodDescr_Type ||
         tp == &PyWrapperDescr_Type || tp == &PyGetSetDescr_Type || tp == &PyMemberDescr_Type ||
         tp == &PyClassMethodDescr_Type ||
         tp == &PyEllipsis_Type || tp == &PyCapsule_Type || tp == &PyFrame_Type ||
         tp == &PyCell_Type || tp == Py_TYPE(Py_NotImplemented);
}

// The instance dict of v (borrowed from the object), or nullptr. Reads the
// dict slot as object.__dict__ does, never a __dict__ the class defines.
PyObject* own_dict(PyObject* v) {
  PyTypeObject* tp = Py_TYPE(v);
  bool has_dict = tp->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
  has_dict = has_dict || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
#endif
  if (!has_dict) return nullptr;
  PyObject** slot = _PyObject_GetDictPtr(v);
  if (slot == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  return *slot != nullptr && PyDict_Check(*slot) ? *slot : nullptr;
}

bool plain_attribute_access(PyTypeObject* tp) {
  return tp->tp_getattro == PyObject_GenericGetAttr &&
         _PyType_Lookup(tp, g.name_class) == g.object_class;
}

// An enum member whose repr is enum's own, over a value whose repr is the
// built-in type's.
bool pure_enum_member(PyObject* v, PyTypeObject* tp) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(tp)) != g.enum_meta) return false;
  PyObject* repr = _PyType_Lookup(tp, g.name_repr);
  if (repr == nullptr || (repr != g.enum_reprs[0] && repr != g.enum_reprs[1])) return false;
  if (!plain_attribute_access(tp)) return false;
  PyObject* value_repr = _PyType_Lookup(tp, g.name_value_repr);
  if (value_repr != nullptr && value_repr != Py_None &&
      !(Py_TYPE(value_repr) == &PyWrapperDescr_Type &&
        !(PyDescr_TYPE(value_repr)->tp_flags & Py_TPFLAGS_HEAPTYPE))) {
    return false;
  }
  PyObject* value = nullptr;
  const bool inline_read = for_each_inline_value(v, [&](PyObject* name, PyObject* x) {
    if (name == g.name_value ||
        (PyUnicode_CheckExact(name) && PyUnicode_Compare(name, g.name_value) == 0)) {
      value = x;
    }
  });
  if (!inline_read) {
    PyObject* dict = own_dict(v);
    if (dict == nullptr) return false;
    value = PyDict_GetItemWithError(dict, g.name_value);
  }
  if (value == nullptr) {
    PyErr_Clear();
    return false;
  }
  return leaves(value);
}

// A staticmethod or classmethod whose repr, "<staticmethod(...)>", shows a
// callable with a pure repr (a plain function, mostly): its repr is pure too.
bool pure_method_wrapper(PyObject* v, PyTypeObject* tp) noexcept {
  const Py_ssize_t offset = tp == &PyStaticMethod_Type  ? g.staticmethod_func_offset
                            : tp == &PyClassMethod_Type ? g.classmethod_func_offset
                                                        : -1;
  if (offset < 0) return false;
  PyObject* func = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(v) + offset);
  return func != nullptr && pure_builtin(Py_TYPE(func));
}

bool pure_exception(PyObject* v, PyTypeObject* tp) {
  if (tp->tp_repr != reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_repr) return false;
  PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(v)->args;
  return args == nullptr || leaves(args);
}

bool pure_std_value(PyObject* v, const StdType& known) {
  if (known.kind != Kind::WithTzinfo) return true;
  PyObject* tz = nullptr;
  if (std::strcmp(known.name, "datetime") == 0) {
    auto* dt = reinterpret_cast<PyDateTime_DateTime*>(v);
    tz = dt->hastzinfo ? dt->tzinfo : Py_None;
  } else {
    auto* t = reinterpret_cast<PyDateTime_Time*>(v);
    tz = t->hastzinfo ? t->tzinfo : Py_None;
  }
  if (tz == Py_None) return true;
  const StdType* zone = std_type(Py_TYPE(tz));
  return zone != nullptr && zone->kind == Kind::Timezone;
}

// The __repr__ dataclasses generated, recognised by its code object (every
// generated repr is one wrapper around the generated function) and by the
// function it wraps having been made from generated source.
bool generated_dataclass_repr(PyTypeObject* tp) {
  if (g.dataclass_repr_code == nullptr) return false;
  PyObject* repr = _PyType_Lookup(tp, g.name_repr);
  if (repr == nullptr || !PyFunction_Check(repr) ||
      PyFunction_GET_CODE(repr) != g.dataclass_repr_code) {
    return false;
  }
  // The wrapper is functools.wraps'd: __wrapped__ sits in its own dict.
  PyObject* fdict = reinterpret_cast<PyFunctionObject*>(repr)->func_dict;
  PyObject* wrapped =
      fdict == nullptr ? nullptr : PyDict_GetItemWithError(fdict, g.name_wrapped);
  if (wrapped == nullptr || !PyFunction_Check(wrapped)) {
    PyErr_Clear();
    return false;
  }
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(wrapped));
  if (!PyUnicode_Check(code->co_filename) ||
      PyUnicode_CompareWithASCIIString(code->co_filename, "<string>") != 0) {
    return false;
  }
  PyObject* fields = _PyType_Lookup(tp, g.name_dataclass_fields);
  return fields != nullptr && PyDict_CheckExact(fields);
}

// attrs' pieces, looked up in sys.modules (nothing is imported). GIL held.
bool find_attrs() {
  if (g.attrs_compat != nullptr) return true;
  Ref compat = Ref::steal(PyImport_GetModule(make_str("attr._compat").get()));
  Ref make = Ref::steal(PyImport_GetModule(make_str("attr._make").get()));
  if (PyErr_Occurred()) PyErr_Clear();
  if (!compat || !make || !PyModule_Check(make.get())) return false;
  PyObject* attribute = PyDict_GetItemString(PyModule_GetDict(make.get()), "Attribute");
  if (attribute == nullptr || !PyType_Check(attribute)) return false;
  auto* at = reinterpret_cast<PyTypeObject*>(attribute);
  const Py_ssize_t name_offset = member_offset(at, "name");
  const Py_ssize_t repr_offset = member_offset(at, "repr");
  if (name_offset < 0 || repr_offset < 0) return false;
  g.attribute_name_offset = name_offset;
  g.attribute_repr_offset = repr_offset;
  g.attrs_attribute = reinterpret_cast<PyTypeObject*>(Py_NewRef(attribute));
  g.attrs_compat = compat.release();
  return true;
}

// The __repr__ attrs generated: a function compiled by attrs (its code names
// the generated source) whose globals attrs filled, holding attrs' own
// _compat module, the object itself, not a name. The class lists its fields
// in __attrs_attrs__.
bool generated_attrs_repr(PyTypeObject* tp) {
  PyObject* repr = _PyType_Lookup(tp, g.name_repr);
  if (repr == nullptr || !PyFunction_Check(repr)) return false;
  PyObject* globals = PyFunction_GET_GLOBALS(repr);
  if (globals == nullptr || !PyDict_CheckExact(globals)) return false;
  PyObject* compat = PyDict_GetItemWithError(globals, g.name_compat);
  if (compat == nullptr) {
    PyErr_Clear();
    return false;
  }
  if (!find_attrs() || compat != g.attrs_compat) return false;
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(repr));
  const auto file = PyUnicode_Check(code->co_filename) ? try_str_view(code->co_filename)
                                                       : std::nullopt;
  if (!file || !file->starts_with("<attrs generated ")) return false;
  PyObject* fields = _PyType_Lookup(tp, g.name_attrs_attrs);
  return fields != nullptr && PyTuple_Check(fields);
}

// An object slot of instances of a class: its name (borrowed from the class
// dict that holds its descriptor) and where the instance keeps it.
struct Slot {
  PyObject* name;
  Py_ssize_t offset;
};

// The object slots of tp's instances, bases first. Reads only the class
// dicts of tp's MRO.
void find_slots(PyTypeObject* tp, std::vector<Slot>& slots) {
  slots.clear();
  PyObject* mro = tp->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return;
  for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
    auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE) || t->tp_dict == nullptr) continue;
    // A class without slots has an empty member table: its dict is not walked.
    if (t->tp_members == nullptr || t->tp_members[0].name == nullptr) continue;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* descr;
    while (PyDict_Next(t->tp_dict, &pos, &key, &descr)) {
      if (Py_TYPE(descr) != &PyMemberDescr_Type || !PyUnicode_Check(key)) continue;
      auto* member = reinterpret_cast<PyMemberDescrObject*>(descr);
      // A descriptor of another class's layout stored here reads nothing of v.
      if (member->d_common.d_type != t) continue;
      const PyMemberDef* def = member->d_member;
      if (def->type != kMemberObjectEx && def->type != kMemberObject) continue;
      slots.push_back({key, def->offset});
    }
  }
}

}  // namespace

std::shared_ptr<const ValuePolicy> value_policy() { return policy_slot(); }

void set_value_policy(std::shared_ptr<const ValuePolicy> policy) {
  policy_slot().swap(policy);  // the old one dropped here or by the last dump using it
}

void prepare_object_state() {
  if (g.name_repr != nullptr) return;
  g.name_dataclass_fields = intern("__dataclass_fields__");
  g.name_class = intern("__class__");
  g.name_value = intern("_value_");
  g.name_value_repr = intern("_value_repr_");
  g.name_wrapped = intern("__wrapped__");
  g.name_attrs_attrs = intern("__attrs_attrs__");
  g.name_compat = intern("_compat");
  // Static types keep their dicts elsewhere on newer versions: looked up, not read.
  g.object_class = Py_XNewRef(_PyType_Lookup(&PyBaseObject_Type, g.name_class));
  {
    Ref module = import("enum");
    Ref enum_type = getattr(module.get(), "Enum");
    Ref flag_type = getattr(module.get(), "Flag");
    if (PyType_Check(enum_type.get()) && PyType_Check(flag_type.get())) {
      PyObject* name = intern("__repr__");
      g.enum_reprs[0] =
          Py_XNewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(enum_type.get()), name));
      g.enum_reprs[1] =
          Py_XNewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(flag_type.get()), name));
      g.enum_meta = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(enum_type.get())));
      g.enum_type = enum_type.release();
      Py_DECREF(name);
    }
  }
  g.staticmethod_func_offset = member_offset(&PyStaticMethod_Type, "__func__");
  g.classmethod_func_offset = member_offset(&PyClassMethod_Type, "__func__");
  g.name_repr = intern("__repr__");
  prepare_dataclasses();
}

namespace {

// What a type says about its instances' reprs; the verdict adds what the
// instance holds (an enum member's value, an exception's arguments, a
// datetime's tzinfo).
enum class TypeClass : uint8_t {
  Fields, Repr, Enum, Exception, Std, Dataclass, Attrs, MethodWrapper
};

TypeClass classify(PyTypeObject* tp, const StdType*& known) {
  known = nullptr;
  if (pure_builtin(tp)) return TypeClass::Repr;
  if (tp == &PyStaticMethod_Type || tp == &PyClassMethod_Type) return TypeClass::MethodWrapper;
  if (PyType_IsSubtype(tp, &PyType_Type)) {
    return tp->tp_repr == PyType_Type.tp_repr ? TypeClass::Repr : TypeClass::Fields;
  }
  if (g.enum_type != nullptr &&
      PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(g.enum_type))) {
    return TypeClass::Enum;
  }
  if (PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
    return TypeClass::Exception;
  }
  if ((known = std_type(tp)) != nullptr) return TypeClass::Std;
  if (generated_dataclass_repr(tp)) return TypeClass::Dataclass;
  if (generated_attrs_repr(tp)) return TypeClass::Attrs;
  return TypeClass::Fields;
}

}  // namespace

// Facts per type, kept while the type's version tag says it is unchanged
// (the interpreter gives a modified or new type a new tag, never an old one).
// The names in `slots` are borrowed from the class dicts: a class dict that
// changes gives the type a new tag, so an entry is read only while they live.
struct TypeFacts {
  PyTypeObject* tp = nullptr;
  unsigned int tag = 0;
  TypeClass cls = TypeClass::Fields;
  const StdType* known = nullptr;
  std::string name;  // qualified_type_name()
  std::vector<Slot> slots;
};

namespace {

constexpr size_t kTypeCacheSize = 256;
TypeFacts g_type_cache[kTypeCacheSize];  // GIL held for every access
TypeFacts g_untagged;                    // the facts of a type without a tag, just worked out

// A valid tag is non-zero; before 3.13 the type's flags say so too (3.13
// no longer sets the flag, and clears the tag itself when the type changes).
bool tagged(PyTypeObject* tp) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return tp->tp_version_tag != 0;
#else
  return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && tp->tp_version_tag != 0;
#endif
}

std::string uncached_type_name(PyTypeObject* tp);

// The facts of tp worked out, into `entry` or (for a type without a version
// tag) into g_untagged.
[[gnu::noinline]] const TypeFacts& work_out_facts(PyTypeObject* tp, TypeFacts& entry) {
  const StdType* known = nullptr;
  const TypeClass cls = classify(tp, known);
  // classify() looked the type up, which gives it a tag if it can have one.
  TypeFacts& facts = tagged(tp) ? entry : g_untagged;
  facts.tp = nullptr;  // not valid until filled
  facts.cls = cls;
  facts.known = known;
  facts.name = uncached_type_name(tp);
  find_slots(tp, facts.slots);
  if (&facts == &entry) {
    facts.tp = tp;
    facts.tag = tp->tp_version_tag;
  }
  return facts;
}

// The facts of tp: from the cache, or worked out. Valid until the next call.
inline const TypeFacts& type_facts(PyTypeObject* tp) {
  TypeFacts& entry = g_type_cache[(reinterpret_cast<uintptr_t>(tp) >> 4) % kTypeCacheSize];
  if (entry.tp == tp && tagged(tp) && entry.tag == tp->tp_version_tag) [[likely]] return entry;
  return work_out_facts(tp, entry);
}

}  // namespace

Verdict object_verdict(PyObject* v, const ValuePolicy& policy) {
  if (policy.mode == ValuesMode::Repr) return Verdict::Repr;
  const TypeFacts* facts = nullptr;
  return object_verdict(v, policy, facts);
}

Verdict object_verdict(PyObject* v, const ValuePolicy& policy, const TypeFacts*& facts_out) {
  facts_out = nullptr;
  if (policy.mode == ValuesMode::Repr) return Verdict::Repr;
  PyTypeObject* tp = Py_TYPE(v);
  const TypeFacts& facts = type_facts(tp);
  facts_out = &facts;
  // The name is the one the facts hold: no second look-up of the type.
  if (!policy.repr_types.empty() && !facts.name.empty() &&
      std::find(policy.repr_types.begin(), policy.repr_types.end(), facts.name) !=
          policy.repr_types.end()) {
    return Verdict::Repr;
  }
  if (policy.mode == ValuesMode::Fields) return Verdict::Fields;
  switch (facts.cls) {
    case TypeClass::Repr:
      return Verdict::Repr;
    case TypeClass::Enum:
      return pure_enum_member(v, tp) ? Verdict::Repr : Verdict::Fields;
    case TypeClass::Exception:
      return pure_exception(v, tp) ? Verdict::Repr : Verdict::Fields;
    case TypeClass::MethodWrapper:
      return pure_method_wrapper(v, tp) ? Verdict::Repr : Verdict::Fields;
    case TypeClass::Std:
      return pure_std_value(v, *facts.known) ? Verdict::Repr : Verdict::Fields;
    case TypeClass::Dataclass:
      return Verdict::Dataclass;
    case TypeClass::Attrs:
      return Verdict::Attrs;
    case TypeClass::Fields:
      break;
  }
  return Verdict::Fields;
}

const std::string& qualified_type_name(PyTypeObject* tp) { return type_facts(tp).name; }

const std::string& qualified_type_name(const TypeFacts& facts) { return facts.name; }

std::string type_qualname(PyTypeObject* tp) {
  if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
    PyObject* q = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_qualname;
    if (q != nullptr && PyUnicode_Check(q)) {
      if (const auto text = try_str_view(q)) return std::string(*text);
    }
  }
  const char* dot = std::strrchr(tp->tp_name, '.');
  return dot != nullptr ? dot + 1 : tp->tp_name;
}

namespace {
std::string uncached_type_name(PyTypeObject* tp) {
  if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    return std::strchr(tp->tp_name, '.') != nullptr ? std::string(tp->tp_name)
                                                    : "builtins." + std::string(tp->tp_name);
  }
  PyObject* module = PyDict_GetItemWithError(tp->tp_dict, interned().dunder_module);
  if (module == nullptr || !PyUnicode_Check(module)) {
    PyErr_Clear();
    return type_qualname(tp);
  }
  const auto text = try_str_view(module);
  if (!text) return {};
  return std::string(*text) + "." + type_qualname(tp);
}

}  // namespace

namespace {

// Calls add(name, value), both borrowed from v, for v's slots (bases first)
// then its inline values or its instance dict's entries, while add returns
// true; returns how many pairs there are. Once add has returned false, it is
// called again for slots and inline values (a number fixed by the class) but
// an instance dict, which may be of any size, is no longer walked. Runs no
// Python code.
template <class Add>
Py_ssize_t visit_own_fields(PyObject* v, const TypeFacts& facts, Add&& add) {
  Py_ssize_t total = 0;
  bool more = true;
  for (const Slot& slot : facts.slots) {
    PyObject* x = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(v) + slot.offset);
    if (x == nullptr) continue;  // an unset slot
    ++total;
    more = add(slot.name, x);
  }
  const bool inline_read = for_each_inline_value(v, [&](PyObject* name, PyObject* value) {
    ++total;
    more = add(name, value);
  });
  if (inline_read) return total;
  if (PyObject* dict = own_dict(v)) {
    total += PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (more && PyDict_Next(dict, &pos, &key, &value)) more = add(key, value);
  }
  return total;
}

// Whether the type (of `facts`) is datetime or time, whose instances keep their
// parts in their struct, not in slots or a dict: written by its fields (its
// tzinfo's repr is the program's, or the values are written by fields), an
// instance's fields are the parts its repr shows.
bool keeps_time_parts(const TypeFacts& facts) {
  return facts.cls == TypeClass::Std && facts.known != nullptr &&
         facts.known->kind == Kind::WithTzinfo;
}

// Appends the parts of a datetime or time (keeps_time_parts) to `pairs` as new
// references, as its repr names them: fold only when set, tzinfo only when it
// has one (the tzinfo itself, written as any value is). Returns how many there
// are; appends at most `limit`. Throws PyErrSet (out of memory).
Py_ssize_t append_time_parts(PyObject* v, const StdType& known, Py_ssize_t limit,
                             std::vector<PyObject*>& pairs) {
  struct Part {
    const char* name;
    long value;
  };
  Part parts[8];
  size_t count = 0;
  PyObject* tz = Py_None;
  if (std::strcmp(known.name, "datetime") == 0) {
    auto* dt = reinterpret_cast<PyDateTime_DateTime*>(v);
    parts[count++] = {"year", PyDateTime_GET_YEAR(v)};
    parts[count++] = {"month", PyDateTime_GET_MONTH(v)};
    parts[count++] = {"day", PyDateTime_GET_DAY(v)};
    parts[count++] = {"hour", PyDateTime_DATE_GET_HOUR(v)};
    parts[count++] = {"minute", PyDateTime_DATE_GET_MINUTE(v)};
    parts[count++] = {"second", PyDateTime_DATE_GET_SECOND(v)};
    parts[count++] = {"microsecond", PyDateTime_DATE_GET_MICROSECOND(v)};
    if (PyDateTime_DATE_GET_FOLD(v)) parts[count++] = {"fold", 1};
    if (dt->hastzinfo) tz = dt->tzinfo;
  } else {
    auto* t = reinterpret_cast<PyDateTime_Time*>(v);
    parts[count++] = {"hour", PyDateTime_TIME_GET_HOUR(v)};
    parts[count++] = {"minute", PyDateTime_TIME_GET_MINUTE(v)};
    parts[count++] = {"second", PyDateTime_TIME_GET_SECOND(v)};
    parts[count++] = {"microsecond", PyDateTime_TIME_GET_MICROSECOND(v)};
    if (PyDateTime_TIME_GET_FOLD(v)) parts[count++] = {"fold", 1};
    if (t->hastzinfo) tz = t->tzinfo;
  }
  const Py_ssize_t total = static_cast<Py_ssize_t>(count) + (tz != Py_None ? 1 : 0);
  const auto add = [&](const char* name, Ref value) {
    Ref key = make_str(name);
    pairs.push_back(key.release());
    pairs.push_back(value.release());
  };
  for (size_t i = 0; i < count && static_cast<Py_ssize_t>(i) < limit; ++i) {
    add(parts[i].name, Ref::check(PyLong_FromLong(parts[i].value)));
  }
  if (tz != Py_None && total <= limit) add("tzinfo", Ref::incref(tz));
  return total;
}

}  // namespace

bool borrow_fields(PyObject* v, const TypeFacts& facts, Py_ssize_t capacity, PyObject** pairs,
                   Py_ssize_t& count) {
  if (PyExceptionInstance_Check(v) || PyMethod_Check(v) || keeps_time_parts(facts)) return false;
  Py_ssize_t n = 0;
  count = visit_own_fields(v, facts, [&](PyObject* name, PyObject* value) {
    if (n == capacity) return false;
    pairs[2 * n] = name;
    pairs[2 * n + 1] = value;
    return ++n < capacity;
  });
  return count == n;
}

Py_ssize_t collect_fields(PyObject* v, Verdict verdict, Py_ssize_t limit,
                          std::vector<PyObject*>& pairs, Py_ssize_t& total) {
  return collect_fields(v, type_facts(Py_TYPE(v)), verdict, limit, pairs, total);
}

Py_ssize_t collect_fields(PyObject* v, const TypeFacts& facts, Verdict verdict, Py_ssize_t limit,
                          std::vector<PyObject*>& pairs, Py_ssize_t& total) {
  total = 0;
  Py_ssize_t n = 0;
  const size_t start = pairs.size();
  if (PyExceptionInstance_Check(v)) {
    // The arguments live in the exception's own struct, not in a slot.
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(v)->args;
    if (args != nullptr) {
      ++total;
      pairs.push_back(make_str("args").release());
      pairs.push_back(Py_NewRef(args));
      ++n;
    }
  } else if (PyMethod_Check(v)) {
    total = 2;
    pairs.push_back(make_str("__func__").release());
    pairs.push_back(Py_NewRef(PyMethod_GET_FUNCTION(v)));
    pairs.push_back(make_str("__self__").release());
    pairs.push_back(Py_NewRef(PyMethod_GET_SELF(v)));
    n = 2;
  } else if (keeps_time_parts(facts)) {
    total = append_time_parts(v, *facts.known, limit, pairs);
    n = static_cast<Py_ssize_t>(pairs.size() - start) / 2;
  }
  const bool generated = verdict == Verdict::Dataclass || verdict == Verdict::Attrs;
  const Py_ssize_t wide = generated ? PY_SSIZE_T_MAX : limit;
  total += visit_own_fields(v, facts, [&](PyObject* name, PyObject* value) {
    if (n >= wide) return false;
    pairs.push_back(Py_NewRef(name));
    pairs.push_back(Py_NewRef(value));
    return ++n < wide;
  });
  if (!generated) return n;

  // Keep the fields the generated repr shows, in the order it shows them.
  std::vector<PyObject*> all(pairs.begin() + static_cast<std::ptrdiff_t>(start), pairs.end());
  pairs.resize(start);
  struct Drop {
    std::vector<PyObject*>& refs;
    ~Drop() {
      for (PyObject* p : refs) drop_in_destructor(p);
    }
  } drop{all};
  total = 0;
  n = 0;
  const auto show = [&](PyObject* name) {
    for (size_t i = 0; i + 1 < all.size(); i += 2) {
      if (all[i] != name && !(PyUnicode_Check(all[i]) && PyUnicode_Check(name) &&
                              PyUnicode_Compare(all[i], name) == 0)) {
        continue;
      }
      ++total;
      if (n < limit) {
        pairs.push_back(Py_NewRef(all[i]));
        pairs.push_back(Py_NewRef(all[i + 1]));
        ++n;
      }
      return;
    }
  };
  if (verdict == Verdict::Attrs) {
    // attrs shows every field whose `repr` is not False, in __attrs_attrs__'s order.
    PyObject* fields = _PyType_Lookup(Py_TYPE(v), g.name_attrs_attrs);
    if (fields == nullptr || !PyTuple_Check(fields)) return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
      PyObject* field = PyTuple_GET_ITEM(fields, i);
      if (!PyObject_TypeCheck(field, g.attrs_attribute)) continue;
      char* base = reinterpret_cast<char*>(field);
      PyObject* name = *reinterpret_cast<PyObject**>(base + g.attribute_name_offset);
      PyObject* shown = *reinterpret_cast<PyObject**>(base + g.attribute_repr_offset);
      if (name == nullptr || !PyUnicode_Check(name) || shown == Py_False) continue;
      show(name);
    }
    return n;
  }
  PyObject* fields = _PyType_Lookup(Py_TYPE(v), g.name_dataclass_fields);
  if (fields == nullptr || !PyDict_CheckExact(fields)) return 0;
  Py_ssize_t pos = 0;
  PyObject* name;
  PyObject* field;
  while (PyDict_Next(fields, &pos, &name, &field)) {
    if (Py_TYPE(field) != reinterpret_cast<PyTypeObject*>(g.field_type)) continue;
    char* base = reinterpret_cast<char*>(field);
    PyObject* shown = *reinterpret_cast<PyObject**>(base + g.field_repr_offset);
    PyObject* kind = *reinterpret_cast<PyObject**>(base + g.field_kind_offset);
    if (kind != g.field_marker || shown != Py_True) continue;
    show(name);
  }
  return n;
}

}  // namespace vask::dump
