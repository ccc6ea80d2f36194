#include "dump/instance_values.hpp"

#include <cstdint>

namespace vask::dump::detail {

#if PY_VERSION_HEX >= 0x030B0000

namespace {

// The head of the keys a class shares among its instances (the interpreter's
// PyDictKeysObject, the same on 3.11 to 3.13 in builds with the GIL), and
// one entry of a table of str keys.
struct SharedKeys {
  Py_ssize_t refcnt;
  uint8_t log2_size;
  uint8_t log2_index_bytes;
  uint8_t kind;  // 2: split (shared) keys
  uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
  char indices[1];  // 1 << log2_index_bytes bytes, then the entries
};
constexpr uint8_t kSplitKeys = 2;

SharedKeys* shared_keys(PyTypeObject* tp) noexcept {
  if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) return nullptr;
  auto* keys = reinterpret_cast<SharedKeys*>(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys);
  return keys != nullptr && keys->kind == kSplitKeys ? keys : nullptr;
}

// Fills `out` for `count` attributes, false when an index is past the keys
// (not the layout this reads: the caller is left to the dict).
bool fill(const SharedKeys* keys, PyObject* const* values, const uint8_t* order, int step,
          int count, InlineValues& out) noexcept {
  for (int k = 0; k < count; ++k) {
    if (order[k * step] >= keys->nentries) return false;
  }
  out.keys = reinterpret_cast<const InlineEntry*>(keys->indices +
                                                  (size_t{1} << keys->log2_index_bytes));
  out.key_count = keys->nentries;
  out.values = values;
  out.order = order;
  out.step = step;
  out.count = count;
  return true;
}

}  // namespace

bool inline_values(PyObject* v, InlineValues& out) noexcept {
  PyTypeObject* tp = Py_TYPE(v);
  if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return false;
  const SharedKeys* keys = shared_keys(tp);
  if (keys == nullptr) return false;
  auto** pre = reinterpret_cast<PyObject**>(v);  // the words before the object
#if PY_VERSION_HEX >= 0x030D0000
  // A dict once made holds the attributes (over the same values): read it.
  if (pre[-3] != nullptr || !(tp->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return false;
  // The values follow the object head: capacity, size, embedded, valid, the
  // values, then the insertion order (one byte per entry).
  struct Values {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
  };
  if (tp->tp_basicsize != static_cast<Py_ssize_t>(sizeof(PyObject))) return false;
  auto* values = reinterpret_cast<Values*>(reinterpret_cast<char*>(v) + sizeof(PyObject));
  if (!values->valid || values->size > values->capacity) return false;
  const auto* order = reinterpret_cast<const uint8_t*>(&values->values[values->capacity]);
  return fill(keys, values->values, order, 1, values->size, out);
#else
  // 3.12: one tagged word, the dict or (low bit set) the values less one.
  // 3.11: the dict in one word, the values in the one before it.
#if PY_VERSION_HEX >= 0x030C0000
  const auto word = reinterpret_cast<uintptr_t>(pre[-3]);
  if (!(word & 1)) return false;
  auto** values = reinterpret_cast<PyObject**>(word + 1);
#else
  if (pre[-3] != nullptr) return false;
  auto** values = reinterpret_cast<PyObject**>(pre[-4]);
  if (values == nullptr) return false;
#endif
  // Before the values: [-1] the prefix's size, [-2] how many entries are
  // used, and from [-3] down the insertion order.
  const auto* prefix = reinterpret_cast<const uint8_t*>(values);
  const int used = prefix[-2];
  if (used + 2 > prefix[-1]) return false;
  return fill(keys, values, prefix - 3, -1, used, out);
#endif
}

#else

bool inline_values(PyObject*, InlineValues&) noexcept { return false; }

#endif

}  // namespace vask::dump::detail
