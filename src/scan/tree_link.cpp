#include "scan/tree_link.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

namespace vask::scan {
namespace {

constexpr std::uint8_t kCall = 0, kReturn = 1, kUnwind = 2, kOther = 9;
constexpr std::uint8_t kNodeCall = 1;

// A buffer export of an index array, released with the GIL held. While it is
// held the array cannot change size: nodes are only appended after release.
class Exported {
 public:
  Exported(PyObject* obj, int flags, Py_ssize_t itemsize) {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) throw_py();
    held_ = true;
    if (view_.itemsize != itemsize) fault("an index array has an unexpected item size");
  }
  ~Exported() {
    if (held_ && python_usable()) PyBuffer_Release(&view_);
  }
  Exported(const Exported&) = delete;
  Exported& operator=(const Exported&) = delete;

  template <class T>
  T* items() const {
    return static_cast<T*>(view_.buf);
  }
  Py_ssize_t size() const { return view_.len / view_.itemsize; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

Ref attr(PyObject* obj, const char* name) { return Ref::check(PyObject_GetAttrString(obj, name)); }

long as_long(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_py();
  return v;
}

long last_long(PyObject* list) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (n == 0) fault("the index's build stack is empty");
  return as_long(PyList_GET_ITEM(list, n - 1));
}

void append_long(PyObject* list, long v) {
  Ref item = Ref::check(PyLong_FromLong(v));
  if (PyList_Append(list, item.get()) < 0) throw_py();
}

void pop(PyObject* list) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) throw_py();
}

template <class T>
Ref column(const std::vector<T>& values) {
  return Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                              static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

// The nodes made by this call, appended to the arrays once the exports end.
struct NewNodes {
  std::vector<std::uint8_t> kind;
  std::vector<std::int32_t> open_rec, close_rec, parent, first_child, next_sibling, calls_below,
      name_id;
  std::vector<double> start, end;
};

}  // namespace

PyObject* py_link_records(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 9) {
      PyErr_Format(PyExc_TypeError, "_link_records() takes 9 arguments (%zd given)", nargs);
      throw_py();
    }
    PyObject* thread = args[0];
    PyObject* state = args[1];
    PyObject* names = args[2];
    PyObject* closed = args[3];
    PyObject* columns = args[5];
    if (!PyDict_Check(names) || !PyAnySet_Check(closed) || !PyTuple_Check(columns) ||
        PyTuple_GET_SIZE(columns) != 4) {
      PyErr_SetString(PyExc_TypeError,
                      "_link_records(): names must be a dict, closed names a "
                      "set and columns a tuple of 4");
      throw_py();
    }
    const Py_ssize_t first = PyLong_AsSsize_t(args[6]);
    const long rec0 = as_long(args[7]);
    const Py_ssize_t start_at = PyLong_AsSsize_t(args[8]);
    if (PyErr_Occurred()) throw_py();

    Ref stack = attr(state, "stack"), fids = attr(state, "fids"),
        last_child = attr(state, "last_child");
    if (!PyList_Check(stack.get()) || !PyList_Check(fids.get()) ||
        !PyList_Check(last_child.get())) {
      PyErr_SetString(PyExc_TypeError, "_link_records(): the build state holds no lists");
      throw_py();
    }
    Ref a_kind = attr(thread, "kind"), a_open = attr(thread, "open_rec"),
        a_close = attr(thread, "close_rec"), a_start = attr(thread, "start"),
        a_end = attr(thread, "end"), a_parent = attr(thread, "parent"),
        a_first = attr(thread, "first_child"), a_next = attr(thread, "next_sibling"),
        a_calls = attr(thread, "calls_below"), a_name = attr(thread, "name_id"),
        a_rec_kind = attr(thread, "rec_kind");

    NewNodes made;
    Py_ssize_t k = start_at;
    {
      const Exported buf(args[4], PyBUF_SIMPLE, 1);
      const Exported ends(PyTuple_GET_ITEM(columns, 0), PyBUF_FORMAT, 8);
      const Exported codes(PyTuple_GET_ITEM(columns, 1), PyBUF_SIMPLE, 1);
      const Exported times(PyTuple_GET_ITEM(columns, 2), PyBUF_FORMAT, 8);
      const Exported spans(PyTuple_GET_ITEM(columns, 3), PyBUF_FORMAT, 8);
      const Exported rec_kind(a_rec_kind.get(), PyBUF_SIMPLE, 1);
      const Exported open_rec(a_open.get(), PyBUF_FORMAT, 4);
      const Exported close_rec(a_close.get(), PyBUF_WRITABLE | PyBUF_FORMAT, 4);
      const Exported end_time(a_end.get(), PyBUF_WRITABLE | PyBUF_FORMAT, 8);
      const Exported first_child(a_first.get(), PyBUF_WRITABLE | PyBUF_FORMAT, 4);
      const Exported next_sibling(a_next.get(), PyBUF_WRITABLE | PyBUF_FORMAT, 4);
      const Exported calls_below(a_calls.get(), PyBUF_WRITABLE | PyBUF_FORMAT, 4);
      const Exported name_id(a_name.get(), PyBUF_FORMAT, 4);
      const Py_ssize_t n = codes.size();
      const Py_ssize_t old_nodes = first_child.size();
      const auto* data = buf.items<const std::uint8_t>();
      const Py_ssize_t size = buf.size();
      if (ends.size() != n || times.size() != n || spans.size() != 6 * n || start_at < 0 ||
          first < 0 || rec0 < 0 || rec0 + n > rec_kind.size()) {
        PyErr_SetString(PyExc_ValueError, "_link_records(): columns of different lengths");
        throw_py();
      }
      const auto* span = spans.items<const std::int64_t>();
      // Spans come from the scanner; one outside the bytes is never read.
      auto inside = [&](const std::int64_t* s, int j) {
        return s[j] >= 0 && s[j] <= s[j + 1] && s[j + 1] <= size;
      };
      // A node's field, in the arrays (made before this call) or among the new nodes.
      auto i32 = [&](const Exported& a, std::vector<std::int32_t>& v, long node) -> std::int32_t& {
        if (node < old_nodes) return a.items<std::int32_t>()[node];
        return v.at(static_cast<std::size_t>(node - old_nodes));
      };
      for (; k < n; ++k) {
        const std::uint8_t code = codes.items<const std::uint8_t>()[k];
        const long rec = rec0 + static_cast<long>(k);
        const std::int64_t* s = span + 6 * k;
        if (code == kOther) continue;
        if ((code != kCall && code != kReturn && code != kUnwind) || !inside(s, 0) ||
            (code == kCall && !inside(s, 2))) {
          break;  // linked by the index itself
        }
        if (code == kCall) {
          Ref key = Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data + s[2]),
                                                         static_cast<Py_ssize_t>(s[3] - s[2])));
          PyObject* name = PyDict_GetItemWithError(names, key.get());
          if (name == nullptr) {
            if (PyErr_Occurred()) throw_py();
            break;  // a function not named yet: named by the index itself
          }
          const long name_number = as_long(name);
          const long node = old_nodes + static_cast<long>(made.kind.size());
          const long top = last_long(stack.get());
          made.kind.push_back(kNodeCall);
          made.open_rec.push_back(static_cast<std::int32_t>(rec));
          made.close_rec.push_back(-1);
          made.start.push_back(times.items<const double>()[k]);
          made.end.push_back(std::numeric_limits<double>::quiet_NaN());
          made.parent.push_back(static_cast<std::int32_t>(top));
          made.first_child.push_back(-1);
          made.next_sibling.push_back(-1);
          made.calls_below.push_back(0);
          made.name_id.push_back(static_cast<std::int32_t>(name_number));
          const Py_ssize_t depth = PyList_GET_SIZE(last_child.get());
          const long prev = last_long(last_child.get());
          if (prev == -1) {
            i32(first_child, made.first_child, top) = static_cast<std::int32_t>(node);
          } else {
            i32(next_sibling, made.next_sibling, prev) = static_cast<std::int32_t>(node);
          }
          Ref node_ref = Ref::check(PyLong_FromLong(node));
          if (PyList_SetItem(last_child.get(), depth - 1, node_ref.copy().release()) < 0) {
            throw_py();
          }
          if (PyList_Append(stack.get(), node_ref.get()) < 0) throw_py();
          Ref fid = Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data + s[0]),
                                                         static_cast<Py_ssize_t>(s[1] - s[0])));
          if (PyList_Append(fids.get(), fid.get()) < 0) throw_py();
          append_long(last_child.get(), -1);
          continue;
        }
        // a return closing the innermost open call, whose function's kind is settled
        const Py_ssize_t depth = PyList_GET_SIZE(stack.get());
        if (depth < 2) break;
        PyObject* open_fid = PyList_GET_ITEM(fids.get(), PyList_GET_SIZE(fids.get()) - 1);
        const std::size_t fid_len = static_cast<std::size_t>(s[1] - s[0]);
        if (!PyBytes_Check(open_fid) ||
            static_cast<std::size_t>(PyBytes_GET_SIZE(open_fid)) != fid_len ||
            std::memcmp(PyBytes_AS_STRING(open_fid), data + s[0], fid_len) != 0) {
          break;
        }
        const long node = last_long(stack.get());
        const long name_number = node < old_nodes
                                     ? name_id.items<std::int32_t>()[node]
                                     : made.name_id.at(static_cast<std::size_t>(node - old_nodes));
        if (name_number >= 0) {
          Ref number = Ref::check(PyLong_FromLong(name_number));
          const int known = PySet_Contains(closed, number.get());
          if (known < 0) throw_py();
          if (known == 0) break;  // its first closing record: the index settles its kind
        }
        pop(stack.get());
        pop(fids.get());
        pop(last_child.get());
        const long parent = last_long(stack.get());
        i32(close_rec, made.close_rec, node) = static_cast<std::int32_t>(rec);
        if (node < old_nodes) {
          end_time.items<double>()[node] = times.items<const double>()[k];
        } else {
          made.end.at(static_cast<std::size_t>(node - old_nodes)) = times.items<const double>()[k];
        }
        const std::int32_t opened_at =
            node < old_nodes ? open_rec.items<std::int32_t>()[node]
                             : made.open_rec.at(static_cast<std::size_t>(node - old_nodes));
        const bool by_call = opened_at >= 0 && opened_at < rec_kind.size() &&
                             rec_kind.items<const std::uint8_t>()[opened_at] == kCall;
        i32(calls_below, made.calls_below, parent) +=
            i32(calls_below, made.calls_below, node) + (by_call ? 1 : 0);
      }
    }
    Ref stopped = Ref::check(PyLong_FromSsize_t(k));
    Ref c_kind = column(made.kind), c_open = column(made.open_rec),
        c_close = column(made.close_rec), c_start = column(made.start), c_end = column(made.end),
        c_parent = column(made.parent), c_first = column(made.first_child),
        c_next = column(made.next_sibling), c_calls = column(made.calls_below),
        c_name = column(made.name_id);
    return Ref::check(PyTuple_Pack(11, stopped.get(), c_kind.get(), c_open.get(), c_close.get(),
                                   c_start.get(), c_end.get(), c_parent.get(), c_first.get(),
                                   c_next.get(), c_calls.get(), c_name.get()))
        .release();
  });
}

}  // namespace vask::scan
