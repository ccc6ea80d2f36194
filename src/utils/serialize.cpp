#include "utils/serialize.hpp"

#include "core/code_facts.hpp"
#include "core/frame_locals.hpp"
#include "utils/msgpack_write.hpp"
#include "utils/names.hpp"

namespace vask {
namespace {

using namespace std::string_view_literals;

// Where a frame is: its file name (borrowed from the code object held here)
// and its current line, and the facts kept with the code object (null: none
// kept; valid while `code` is held).
struct FrameLocation {
  Ref code;
  Utf8Text filename;
  uint64_t line;
  CodeFacts* facts;
};

FrameLocation filename_with_lineno(PyObject* frame) {
  if (!PyFrame_Check(frame)) [[unlikely]] {
    PyErr_Format(PyExc_TypeError, "expected a frame object, not '%.200s'", Py_TYPE(frame)->tp_name);
    throw_py();
  }
  auto* f = reinterpret_cast<PyFrameObject*>(frame);
  // PyFrame_GetCode returns a new reference and never fails for a live frame.
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
  if (!code) fault("frame without a code object");
  PyObject* filename_str = reinterpret_cast<PyCodeObject*>(code.get())->co_filename;
  if (!PyUnicode_Check(filename_str)) conversion_error(filename_str, "PyString");
  Utf8Text filename = utf8_text(filename_str);
  CodeFacts* facts = code_facts(reinterpret_cast<PyCodeObject*>(code.get()));
  // The value frame.f_lineno reports; negative where it reports None.
  const int line = frame_line(f, facts);
  if (line < 0) [[unlikely]] {
    PyErr_SetString(PyExc_TypeError, "frame has no line number (f_lineno is None)");
    throw_py();
  }
  return {std::move(code), std::move(filename), static_cast<uint64_t>(line), facts};
}

// What names a record: a code object (borrowed, held by the caller or by the
// FrameLocation), its file name text, its line and its facts.
struct NamedCode {
  PyObject* code;
  std::string_view filename;
  uint64_t line;
  CodeFacts* facts;
  Utf8Text own_filename;  // holds `filename` when it is not the frame's
};

// `where` itself when `event_code` is null or the frame's own code object;
// otherwise `event_code` at `event_line` (its first line where that is
// negative). Throws PyErrSet for a code object whose file name is not str.
NamedCode named_code(const FrameLocation& where, PyObject* event_code, int event_line) {
  if (event_code == nullptr || event_code == where.code.get()) {
    return {where.code.get(), where.filename.text(), where.line, where.facts, Utf8Text{}};
  }
  if (!PyCode_Check(event_code)) {
    PyErr_Format(PyExc_TypeError, "expected a code object, not '%.200s'",
                 Py_TYPE(event_code)->tp_name);
    throw_py();
  }
  auto* co = reinterpret_cast<PyCodeObject*>(event_code);
  if (!PyUnicode_Check(co->co_filename)) conversion_error(co->co_filename, "PyString");
  NamedCode named{event_code, {}, 0, code_facts(co), utf8_text(co->co_filename)};
  named.filename = named.own_filename.text();
  const int line = event_line >= 0 ? event_line : co->co_firstlineno;
  named.line = line < 0 ? 0 : static_cast<uint64_t>(line);
  return named;
}

#if PY_VERSION_HEX >= 0x030D0000
// dict(proxy) for a frame-locals proxy (3.13), made from the proxy's items():
// one pass over the frame's variables, where dict() asks keys() and then
// looks each key up again. Both list the variables bound, in the code
// object's order, then the extra locals, so the dicts are equal and ordered
// alike.
Ref proxy_as_dict(PyObject* proxy) {
  Ref copy = Ref::check(PyDict_New());
  Ref items = Ref::check(PyObject_CallMethodNoArgs(proxy, interned().items));
  if (!PyList_CheckExact(items.get())) {
    if (PyDict_Update(copy.get(), proxy) < 0) throw_py();
    return copy;
  }
  // PyDict_SetItem hashes and compares the names, str or (for extra locals)
  // any hashable the program used: the list is held here and read by index,
  // so code run there cannot invalidate the loop.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, "frame locals items() gave an item that is not a pair");
      throw_py();
    }
    if (PyDict_SetItem(copy.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
      throw_py();
    }
  }
  return copy;
}
#endif

// The locals as recorded: without the __builtins__ of a module frame's
// globals.
Ref without_builtins(Ref locals) {
  // Borrowed; only tested for presence.
  PyObject* builtins = PyDict_GetItemWithError(locals.get(), interned().dunder_builtins);
  if (builtins == nullptr) {
    if (PyErr_Occurred()) fault("locals.get(\"__builtins__\") should not raise.");
    return locals;
  }
  // A module frame's locals are the module's globals: never delete from them.
  Ref copy = Ref::check(PyDict_Copy(locals.get()));
  if (PyDict_DelItem(copy.get(), interned().dunder_builtins) < 0) throw_py();
  return copy;
}

// The "event" key and the event's name, as one MessagePack run. (Fixed
// MessagePack bytes are written in octal, which ends after three digits: a
// fixstr of n bytes starts with \240 + n.)
std::string_view event_pair(FrameEvent event) noexcept {
  // By FrameEvent's value: call, return, unwind, resume, yield, throw.
  static constexpr std::string_view kPairs[] = {
      "\245event\244call"sv,   "\245event\246return"sv, "\245event\246unwind"sv,
      "\245event\246resume"sv, "\245event\245yield"sv,  "\245event\245throw"sv,
  };
  static_assert(static_cast<size_t>(FrameEvent::Throw) + 1 == std::size(kPairs));
  return kPairs[static_cast<size_t>(event)];
}

// The frame's variables as the pairs of its locals dict, where the native
// dumper writes that dict and can take them without it (3.13 function
// frames; `facts` those of the frame's code object): false, with `pairs`
// empty, where the dict is needed.
bool frame_variables(PyObject* frame, CodeFacts* facts, const ValueDumper& serializer,
                     bool lightweight, NamePairs& pairs) {
#if VASK_READS_FRAME_LAYOUT
  return serializer.direct(lightweight) && PyFrame_Check(frame) &&
         function_frame_pairs(reinterpret_cast<PyFrameObject*>(frame), facts, pairs);
#else
  (void)frame;
  (void)facts;
  (void)serializer;
  (void)lightweight;
  (void)pairs;
  return false;
#endif
}

}  // namespace

Ref get_locals(PyObject* frame) {
#if VASK_READS_FRAME_LAYOUT
  // A function frame's variables straight from the frame, as the proxy
  // that f_locals would make lists them.
  if (PyFrame_Check(frame)) {
    if (Ref locals = function_frame_locals(reinterpret_cast<PyFrameObject*>(frame))) {
      return without_builtins(std::move(locals));
    }
  }
#endif
#if PY_VERSION_HEX >= 0x030B0000
  // Since 3.11 this is what the f_locals getter itself calls (3.13: a
  // write-through proxy for function frames, the dict for module frames).
  Ref locals = PyFrame_Check(frame)
                   ? Ref::check(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame)))
                   : getattr(frame, interned().f_locals);
#else
  Ref locals = getattr(frame, interned().f_locals);
#endif
#if PY_VERSION_HEX >= 0x030D0000
  if (PyFrameLocalsProxy_Check(locals.get())) locals = proxy_as_dict(locals.get());
#endif
  if (!PyDict_Check(locals.get())) {
    locals = call(reinterpret_cast<PyObject*>(&PyDict_Type), locals.get());
    if (!PyDict_Check(locals.get())) {
      PyErr_SetString(PyExc_TypeError, "dict() of the frame locals did not return a dict");
      throw_py();
    }
  }
  return without_builtins(std::move(locals));
}

void write_frame_with_serializer(Bytes& buffer, PyObject* frame, const ValueDumper& serializer,
                                 const std::optional<CallSite>& call_site, ArgKind arg_kind,
                                 PyObject* arg, FrameEvent event, std::string_view co_name,
                                 std::string_view frame_id, bool lightweight_repr,
                                 bool omit_return_locals, PyObject* event_code, int event_line) {
  // A call's time is read once its own arguments are recorded, a return's
  // before its value and locals are: a slow repr makes the recording slow,
  // not the function. What a duration still holds of the recording is that
  // of the calls the function makes.
  const bool closing = is_closing(event);
  const double closed_at = closing ? timestamp() : 0.0;
  const bool is_exception =
      static_cast<uint8_t>(arg_kind) >= static_cast<uint8_t>(ArgKind::Exception);
  // A null argument (the profile hook's return-by-exception) counts as None.
  PyObject* arg_value = (arg_kind == ArgKind::None || arg == nullptr) ? Py_None : arg;

  // The frame's own code object lays out its slots; the event's code object
  // (the same one in real use) names the record: its file, line and
  // qualified name.
  const FrameLocation where = filename_with_lineno(frame);
  const NamedCode named = named_code(where, event_code, event_line);
  // The record's texts, in buffers each thread reuses: no allocation once
  // they have grown to the longest path and name.
  thread_local std::string path;
  thread_local std::string qualname_text;
  write_frame_path(path, named.facts, named.filename, named.line);
  std::optional<std::string_view> qualname;
  if (write_qualname(qualname_text, frame, named.code, named.facts)) qualname = qualname_text;
  // Never touch f_locals on an omitted return: reading it has side effects
  // (fast-locals sync before 3.13) and costs a dict per event. Taken before
  // anything is dumped: a repr may change the frame's variables.
  Ref locals;
  NamePairs pairs;
  if (event == FrameEvent::Return && omit_return_locals) {
    locals = Ref::incref(Py_None);
  } else if (!frame_variables(frame, where.facts, serializer, lightweight_repr, pairs)) {
    locals = get_locals(frame);
  }

  // The dumpers write their objects in place; a failure there (the
  // program's exception, raised in a repr) takes the record back out.
  const size_t old_size = buffer.size();
  try {
    // The keys and fixed values, encoded once (in octal, as event_pair()):
    // a record is ten pairs, and every append is a capacity check and a copy.
    buffer.append("\212\244path"sv);
    mp::write_str(buffer, path);
    buffer.append("\247co_name"sv);
    mp::write_str(buffer, co_name);
    buffer.append("\250qualname"sv);
    if (qualname) {
      mp::write_str(buffer, *qualname);
    } else {
      mp::write_nil(buffer);
    }
    buffer.append(event_pair(event));
    buffer.append("\250frame_id"sv);
    mp::write_str(buffer, frame_id);
    buffer.append(is_exception ? "\251exception"sv : "\243arg"sv);
    serializer.dump_into(buffer, arg_value, lightweight_repr);
    buffer.append("\246locals"sv);
    if (locals) {
      serializer.dump_into(buffer, locals.get(), lightweight_repr);
    } else {
      serializer.dump_named_into(buffer, pairs, lightweight_repr);
    }
    write_f64_pair(buffer, closing ? closed_at : timestamp());
    buffer.append("\244type\245frame\263user_code_call_site"sv);
    if (call_site) {
      buffer.append("\202\255call_frame_id"sv);
      mp::write_str(buffer, call_site->call_frame_id.view());
      buffer.append("\253line_number"sv);
      mp::write_int(buffer, call_site->line_number);
    } else {
      mp::write_nil(buffer);
    }
  } catch (...) {
    // Keep the buffer a sequence of whole records.
    buffer.resize(old_size);
    throw;
  }
}

}  // namespace vask
