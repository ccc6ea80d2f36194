// What an object holds and whether its repr is pure, read without running
// any of its code: no __getattribute__, __getattr__, property, __dict__
// descriptor or __repr__ of the object's classes is called here. Every read
// goes through the object's own storage (its dict pointer, the offsets of its
// slots) and the dicts of the types on its MRO.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/py.hpp"

namespace vask::dump {

// How values that are not written natively are recorded.
enum class ValuesMode : uint8_t {
  Safe,    // fields, except reprs known to be pure
  Repr,    // every repr called
  Fields,  // fields always, no repr called
};

// The process-wide settings of the dumpers, replaced whole (never changed in
// place) by configure_values(); a dump keeps the one it started with.
struct ValuePolicy {
  ValuesMode mode = ValuesMode::Safe;
  // Qualified type names ("module.QualName") whose repr the user vouches for.
  std::vector<std::string> repr_types;
  // Most bytes one value writes, across its nesting (0: no cap).
  int64_t max_value_bytes = 2048;
};

inline constexpr int64_t kDefaultMaxValueBytes = 2048;

// The policy dumps use now. GIL held.
std::shared_ptr<const ValuePolicy> value_policy();
void set_value_policy(std::shared_ptr<const ValuePolicy> policy);

// Looks up the standard-library pieces the verdicts compare against (enum,
// dataclasses). Idempotent; GIL held; throws PyErrSet.
void prepare_object_state();

// What the dumper does with an object that is not a built-in value.
enum class Verdict : uint8_t {
  Repr,       // call its repr: it is known to be pure (or vouched for)
  Dataclass,  // its fields, the ones its generated repr shows, in that order
  Attrs,      // the same, for the repr attrs generated
  Fields,     // its type and its own attributes
};

// The verdict for v under `policy`. Runs no Python code. GIL held.
Verdict object_verdict(PyObject* v, const ValuePolicy& policy);

// What is kept per type: the type's part of the verdict, its qualified name,
// where its instances keep their slots.
struct TypeFacts;

// object_verdict(), also pointing `facts` at the facts of v's type for the
// calls below that take them, so that writing one object looks its type up
// once; null under ValuesMode::Repr, which looks nothing up. `facts` is
// valid until the next call of a function declared here.
Verdict object_verdict(PyObject* v, const ValuePolicy& policy, const TypeFacts*& facts);
const std::string& qualified_type_name(const TypeFacts& facts);

// "module.QualName" of a type, read from the type object; "" when the parts
// cannot be read without running code. Kept per type: valid until the next
// call of a function declared here. GIL held.
const std::string& qualified_type_name(PyTypeObject* tp);
// The QualName alone (tp_name after its last dot for a static type).
std::string type_qualname(PyTypeObject* tp);

// Appends (name, value) pairs of v's own state to `pairs` as new references,
// names as str: the slots (bases first) then the instance dict's entries,
// or, for a Dataclass or Attrs verdict, the fields its generated repr shows. Returns
// how many pairs it appended, at most `limit`; `total` gets how many there
// were. GIL held; throws PyErrSet (out of memory).
Py_ssize_t collect_fields(PyObject* v, Verdict verdict, Py_ssize_t limit,
                          std::vector<PyObject*>& pairs, Py_ssize_t& total);
// As above, with the facts of v's type from object_verdict().
Py_ssize_t collect_fields(PyObject* v, const TypeFacts& facts, Verdict verdict, Py_ssize_t limit,
                          std::vector<PyObject*>& pairs, Py_ssize_t& total);

// The pairs collect_fields() gives for a Fields verdict, borrowed from v
// (valid while no Python code runs), into pairs[0 .. 2 * count): all of
// them, so that count is also their total. False, with `count` undefined,
// when v has more than `capacity` pairs or names made for it (an exception's
// args, a method's parts). Runs no Python code and allocates nothing. GIL held.
bool borrow_fields(PyObject* v, const TypeFacts& facts, Py_ssize_t capacity, PyObject** pairs,
                   Py_ssize_t& count);

}  // namespace vask::dump
