#include "scan/scan_py.hpp"

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "scan/call_columns.hpp"
#include "scan/call_rows.hpp"
#include "scan/index_block.hpp"
#include "scan/scanner.hpp"

namespace vask::scan {
namespace {

// A Py_buffer held for the length of a call, released with the GIL held.
class HeldBuffer {
 public:
  explicit HeldBuffer(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) throw_py();
  }
  ~HeldBuffer() {
    if (python_usable()) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

// Runs `work` with the GIL released (what it reads must stay held meanwhile);
// what it throws is thrown again once the GIL is back, a std::invalid_argument
// raised as ValueError("name(): what").
template <class Work>
void without_gil(const char* name, Work&& work) {
  std::exception_ptr failed;
  Py_BEGIN_ALLOW_THREADS;
  try {
    work();
  } catch (...) {
    failed = std::current_exception();  // std::bad_alloc: raised once the GIL is back
  }
  Py_END_ALLOW_THREADS;
  if (!failed) return;
  try {
    std::rethrow_exception(failed);
  } catch (const std::invalid_argument& error) {
    PyErr_Format(PyExc_ValueError, "%s(): %s", name, error.what());
    throw_py();
  }
}

template <class T>
Ref column(const std::vector<T>& values) {
  return Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                              static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

std::size_t size_argument(PyObject* obj, const char* name) {
  const Py_ssize_t n = PyLong_Check(obj) ? PyLong_AsSsize_t(obj) : -1;
  if (n < 0) {
    if (!PyErr_Occurred()) argument_error(name, obj, "a non-negative int");
    throw_py();
  }
  return static_cast<std::size_t>(n);
}

double float_argument(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw_py();
  return v;
}

// A column layout as typecodes ("b", "h", "i", "q"; upper case alike), each
// followed by "+" when the column is delta-coded.
std::vector<BlockColumn> block_layout(PyObject* obj) {
  if (!PyUnicode_Check(obj)) argument_error("layout", obj, "str");
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &n);
  if (text == nullptr) throw_py();
  std::vector<BlockColumn> out;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '+' && !out.empty() && !out.back().delta) {
      out.back().delta = true;
      continue;
    }
    std::uint8_t width = 0;
    // clang-format off
    switch (c) {
      case 'b': case 'B': width = 1; break;
      case 'h': case 'H': width = 2; break;
      case 'i': case 'I': width = 4; break;
      case 'q': case 'Q': width = 8; break;
      default: break;
    }  // clang-format on
    if (width == 0) {
      PyErr_Format(PyExc_ValueError, "_decode_index_block(): bad layout %R", obj);
      throw_py();
    }
    out.push_back(BlockColumn{width, false});
  }
  return out;
}

}  // namespace

PyObject* py_decode_index_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 4) {
      PyErr_Format(PyExc_TypeError, "_decode_index_block() takes 4 arguments (%zd given)", nargs);
      throw_py();
    }
    const std::vector<BlockColumn> layout = block_layout(args[1]);
    // lo and hi: ints, or tuples of as many ints (several runs of rows, one after another)
    std::vector<RowRange> ranges;
    if (PyTuple_Check(args[2]) && PyTuple_Check(args[3])) {
      const Py_ssize_t n = PyTuple_GET_SIZE(args[2]);
      if (PyTuple_GET_SIZE(args[3]) != n) {
        PyErr_SetString(PyExc_ValueError, "_decode_index_block(): lo and hi of unlike lengths");
        throw_py();
      }
      for (Py_ssize_t i = 0; i < n; ++i) {
        ranges.push_back(RowRange{size_argument(PyTuple_GET_ITEM(args[2], i), "lo"),
                                  size_argument(PyTuple_GET_ITEM(args[3], i), "hi")});
      }
    } else {
      ranges.push_back(RowRange{size_argument(args[2], "lo"), size_argument(args[3], "hi")});
    }
    // One block, or a tuple of a trace's consecutive blocks read as one run of rows.
    std::vector<std::unique_ptr<HeldBuffer>> held;
    if (PyTuple_Check(args[0])) {
      const Py_ssize_t n = PyTuple_GET_SIZE(args[0]);
      held.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i)
        held.push_back(std::make_unique<HeldBuffer>(PyTuple_GET_ITEM(args[0], i)));
    } else {
      held.push_back(std::make_unique<HeldBuffer>(args[0]));
    }
    std::vector<std::span<const std::uint8_t>> blocks;
    blocks.reserve(held.size());
    for (const auto& buffer : held) blocks.push_back(buffer->bytes());
    std::vector<std::string> columns;
    // The buffers stay held (and so unchanged in size) while the GIL is released.
    without_gil("_decode_index_block", [&] {
      columns = ranges.size() == 1 ? decode_blocks(blocks, layout, ranges[0].lo, ranges[0].hi)
                                   : decode_blocks(blocks, layout, ranges);
    });
    Ref out = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      PyObject* column =
          PyBytes_FromStringAndSize(columns[i].data(), static_cast<Py_ssize_t>(columns[i].size()));
      if (column == nullptr) throw_py();
      PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), column);
    }
    return out.release();
  });
}

PyObject* py_scan_records(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 7) {
      PyErr_Format(PyExc_TypeError, "_scan_records() takes 7 arguments (%zd given)", nargs);
      throw_py();
    }
    const HeldBuffer held(args[0]);
    const std::size_t start = size_argument(args[1], "start");
    const std::size_t count = size_argument(args[2], "count");
    const double earliest = float_argument(args[3]);
    const double latest = float_argument(args[4]);
    const std::size_t origin = size_argument(args[5], "origin");
    const std::size_t width = size_argument(args[6], "width");
    if (width != 4 && width != 8) {
      PyErr_SetString(PyExc_ValueError, "_scan_records(): width must be 4 or 8");
      throw_py();
    }
    ScanResult result;
    // The buffer stays held (and so unchanged in size) while the GIL is released.
    without_gil("_scan_records", [&] {
      result = scan_records(held.bytes(), start, count, earliest, latest);
    });
    const Columns& c = result.columns;
    // Where each record starts, as a position from `origin` on, `width` bytes each.
    std::vector<std::uint32_t> narrow;
    std::vector<std::uint64_t> wide;
    std::size_t at = start;
    for (const std::int64_t end : c.ends) {
      const std::uint64_t pos = origin + at;
      if (width == 8) {
        wide.push_back(pos);
      } else if (pos > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "_scan_records(): a position beyond 4 GiB");
        throw_py();
      } else {
        narrow.push_back(static_cast<std::uint32_t>(pos));
      }
      at = static_cast<std::size_t>(end);
    }
    Ref next = Ref::check(PyLong_FromSize_t(result.next));
    Ref stop = Ref::check(PyLong_FromLong(static_cast<long>(result.stop)));
    Ref ends = column(c.ends);
    Ref codes = column(c.codes);
    Ref times = column(c.times);
    Ref spans = column(c.spans);
    Ref starts = width == 8 ? column(wide) : column(narrow);
    return Ref::check(PyTuple_Pack(7, next.get(), stop.get(), ends.get(), codes.get(), times.get(),
                                   spans.get(), starts.get()))
        .release();
  });
}

PyObject* py_spans_lacking(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_Format(PyExc_TypeError, "_spans_lacking() takes 3 arguments (%zd given)", nargs);
      throw_py();
    }
    const HeldBuffer data(args[0]);
    const HeldBuffer needle(args[1]);
    const HeldBuffer spans(args[2]);
    const auto raw = spans.bytes();
    if (raw.size() % (2 * sizeof(std::int64_t)) != 0) {
      PyErr_SetString(PyExc_ValueError, "_spans_lacking(): spans must be pairs of 64-bit ints");
      throw_py();
    }
    // The exported bytes need not be aligned for int64: copied out first.
    std::vector<std::int64_t> pairs(raw.size() / sizeof(std::int64_t));
    std::vector<std::uint8_t> out;
    // The buffers stay held (and so unchanged in size) while the GIL is released.
    without_gil("_spans_lacking", [&] {
      if (!raw.empty()) std::memcpy(pairs.data(), raw.data(), raw.size());
      out = spans_lacking(data.bytes(), needle.bytes(), pairs);
    });
    return column(out).release();
  });
}

PyObject* py_cut_ids_and_times(PyObject*, PyObject* data) {
  return boundary([&]() -> PyObject* {
    const HeldBuffer held(data);
    const auto bytes = held.bytes();
    std::string out;
    without_gil("_cut_ids_and_times", [&] {
      out = cut_frame_ids_and_times(
          std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    });
    return Ref::check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())))
        .release();
  });
}

namespace {

Ref bytes_of(std::string_view text) {
  return Ref::check(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

namespace {

constexpr const char* kRowsCapsule = "vask._dump.call_rows";

// A document's rows held for the package between reading them and writing
// them: the texts of `rows` are views into `document`, which stays held.
struct HeldRows {
  explicit HeldRows(PyObject* obj) : document(obj) {}
  HeldBuffer document;
  CallRows rows;
};

void let_go_rows(PyObject* capsule) {
  delete static_cast<HeldRows*>(PyCapsule_GetPointer(capsule, kRowsCapsule));
}

std::int64_t int64_argument(PyObject* obj, const char* name) {
  if (!PyLong_Check(obj)) argument_error(name, obj, "an int");
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_py();
  return v;
}

}  // namespace

PyObject* py_call_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 4) {
      PyErr_Format(PyExc_TypeError, "_call_rows() takes 4 arguments (%zd given)", nargs);
      throw_py();
    }
    const double earliest = float_argument(args[2]);
    const double latest = float_argument(args[3]);
    auto held = std::make_unique<HeldRows>(args[0]);
    std::optional<HeldBuffer> table;
    if (args[1] != Py_None) table.emplace(args[1]);
    // The buffers stay held (and so unchanged) while the GIL is released.
    without_gil("_call_rows", [&] {
      held->rows = call_rows(held->document.bytes(),
                             table ? table->bytes() : std::span<const std::uint8_t>(), earliest,
                             latest);
    });
    const CallRows& rows = held->rows;
    if (rows.why != nullptr) return make_str(rows.why).release();

    Ref threads = Ref::check(PyList_New(static_cast<Py_ssize_t>(rows.threads.size())));
    for (std::size_t i = 0; i < rows.threads.size(); ++i) {
      Ref key = bytes_of(rows.threads[i].key), name = bytes_of(rows.threads[i].name);
      PyList_SET_ITEM(threads.get(), static_cast<Py_ssize_t>(i),
                      Ref::check(PyTuple_Pack(2, key.get(), name.get())).release());
    }
    Ref keys = Ref::check(PyList_New(static_cast<Py_ssize_t>(rows.keys.size())));
    for (std::size_t i = 0; i < rows.keys.size(); ++i) {
      Ref qualname = bytes_of(rows.keys[i].first), file = bytes_of(rows.keys[i].second);
      PyList_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(i),
                      Ref::check(PyTuple_Pack(2, qualname.get(), file.get())).release());
    }
    Ref exc_types = Ref::check(PyList_New(static_cast<Py_ssize_t>(rows.exc_types.size())));
    for (std::size_t i = 0; i < rows.exc_types.size(); ++i) {
      PyList_SET_ITEM(exc_types.get(), static_cast<Py_ssize_t>(i),
                      bytes_of(rows.exc_types[i]).release());
    }
    Ref counts = Ref::check(PyLong_FromSize_t(rows.seq.size()));
    Ref capsule = Ref::check(PyCapsule_New(held.get(), kRowsCapsule, let_go_rows));
    held.release();  // the capsule's now
    return Ref::check(PyTuple_Pack(5, threads.get(), keys.get(), exc_types.get(), counts.get(),
                                   capsule.get()))
        .release();
  });
}

PyObject* py_encode_call_index(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 5) {
      PyErr_Format(PyExc_TypeError, "_encode_call_index() takes 5 arguments (%zd given)", nargs);
      throw_py();
    }
    const auto* held = static_cast<const HeldRows*>(PyCapsule_GetPointer(args[0], kRowsCapsule));
    if (held == nullptr) throw_py();
    std::vector<std::int64_t> ids;
    {
      Ref seq =
          Ref::check(PySequence_Fast(args[1], "_encode_call_index(): ids must be a sequence"));
      const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
      for (Py_ssize_t i = 0; i < n; ++i)
        ids.push_back(int64_argument(PySequence_Fast_GET_ITEM(seq.get(), i), "ids"));
    }
    IndexShape shape;
    shape.block_rows = size_argument(args[2], "block_rows");
    shape.start_ticks = int64_argument(args[3], "start_ticks");
    shape.finest_tick = float_argument(args[4]);
    EncodedIndex index;
    // The document stays held by the capsule while the GIL is released.
    without_gil("_encode_call_index", [&] {
      index = encode_call_index(held->rows, ids, shape);
    });
    if (index.why != nullptr) return make_str(index.why).release();
    Ref summary = Ref::check(PyList_New(static_cast<Py_ssize_t>(index.summary.size())));
    for (std::size_t i = 0; i < index.summary.size(); ++i) {
      const EncodedIndex::Summary& s = index.summary[i];
      PyList_SET_ITEM(summary.get(), static_cast<Py_ssize_t>(i),
                      Ref::check(Py_BuildValue("(nLLLL)", static_cast<Py_ssize_t>(s.key),
                                               static_cast<long long>(s.calls),
                                               static_cast<long long>(s.raised),
                                               static_cast<long long>(s.longest),
                                               static_cast<long long>(s.first_row)))
                          .release());
    }
    Ref blocks = Ref::check(PyList_New(static_cast<Py_ssize_t>(index.blocks.size())));
    for (std::size_t i = 0; i < index.blocks.size(); ++i)
      PyList_SET_ITEM(blocks.get(), static_cast<Py_ssize_t>(i),
                      bytes_of(index.blocks[i]).release());
    Ref first =
        index.has_first ? Ref::check(PyFloat_FromDouble(index.first)) : Ref::incref(Py_None);
    return Ref::check(Py_BuildValue("(OddLLLLOO)", first.get(), index.base, index.tick,
                                    static_cast<long long>(index.total),
                                    static_cast<long long>(index.raised),
                                    static_cast<long long>(index.longest),
                                    static_cast<long long>(index.longest_raised), summary.get(),
                                    blocks.get()))
        .release();
  });
}

PyObject* py_count_calls(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "_count_calls() takes 2 arguments (%zd given)", nargs);
      throw_py();
    }
    const HeldBuffer document(args[0]);
    const HeldBuffer table(args[1]);
    std::optional<std::uint64_t> calls;
    // The buffers stay held (and so unchanged) while the GIL is released.
    without_gil("_count_calls", [&] { calls = count_call_records(document.bytes(), table.bytes()); });
    if (!calls) Py_RETURN_NONE;
    return Ref::check(PyLong_FromUnsignedLongLong(*calls)).release();
  });
}

PyObject* py_document_table(PyObject*, PyObject* document) {
  return boundary([&]() -> PyObject* {
    PyObject* dict = PyThreadState_GetDict();  // borrowed
    PyObject* entry = dict != nullptr ? PyDict_GetItemString(dict, kHandedTableKey) : nullptr;
    if (entry != nullptr && PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) == 2 &&
        PyTuple_GET_ITEM(entry, 0) == document) {
      return Ref::incref(PyTuple_GET_ITEM(entry, 1)).release();
    }
    Py_RETURN_NONE;
  });
}

}  // namespace vask::scan
