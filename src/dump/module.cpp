// The module entry of vask._dump: the value dumpers and the process-wide
// redaction settings they use, as vask.serialize exposes them.
#include <memory>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "core/host_facts.hpp"
#include "dump/engine_api.hpp"
#include "dump/redaction_py.hpp"
#include "dump/value_dump.hpp"
#include "scan/scan_py.hpp"
#include "scan/tree_link.hpp"
#include "support/py.hpp"
#include "support/py_type.hpp"
#include "utils/trace.hpp"

namespace vask::dump {
namespace {

// The redaction the module's dumpers use. Replaced, never changed, by
// configure_redaction; a dump in progress keeps the one it started with.
// Leaked on purpose: dropping cached names after the interpreter has
// finalised would touch freed objects. GIL held for every access.
std::shared_ptr<Redactor>& current_redactor() {
  static auto* current = new std::shared_ptr<Redactor>(std::make_shared<Redactor>(Redaction(
      std::vector<std::string>(default_redact_names().begin(), default_redact_names().end()))));
  return *current;
}

PyObject* dump_with(PyObject* value, DumpForm form) {
  return boundary([&]() -> PyObject* {
    const std::shared_ptr<Redactor> redactor = current_redactor();
    return dump_to_bytes(value, form, *redactor).release();
  });
}

// The engines' entries: 0, or -1 with the program's exception set.
template <class Write>
int engine_entry(Write&& write) {
  try {
    const std::shared_ptr<Redactor> redactor = current_redactor();
    write(*redactor);
    return 0;
  } catch (...) {
    rethrow_if_forced_unwind();
    set_error_from_current_exception();
    return -1;
  }
}

int engine_dump(Bytes& out, PyObject* value, DumpForm form) {
  return engine_entry([&](Redactor& redactor) { dump_value(out, value, form, redactor); });
}

int engine_dump_named(Bytes& out, NamedValues values, DumpForm form) {
  return engine_entry([&](Redactor& redactor) { dump_named_values(out, values, form, redactor); });
}

PyObject* py_dump_msgpack(PyObject*, PyObject* value) { return dump_with(value, DumpForm::Full); }

PyObject* py_dump_msgpack_lightweight_repr(PyObject*, PyObject* value) {
  return dump_with(value, DumpForm::Lightweight);
}

// The configured names of a Python iterable of str (None: no names).
std::vector<std::string> names_argument(PyObject* names, const char* what) {
  std::vector<std::string> out;
  if (names == Py_None) return out;
  Ref seq = Ref::check(PySequence_Fast(names, "redaction names must be an iterable of str"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s: %R", what, Py_TYPE(name)->tp_name,
                   name);
      throw_py();
    }
    const Utf8Text text = utf8_text(name);
    if (!Redaction::has_words(text.text())) {
      PyErr_Format(PyExc_ValueError, "redaction name %R holds no name (only '-', '_' or digits)",
                   name);
      throw_py();
    }
    out.emplace_back(text.text());
  }
  return out;
}

PyObject* py_configure_redaction(PyObject*, PyObject* names) {
  return boundary([&]() -> PyObject* {
    auto redactor = std::make_shared<Redactor>(Redaction(names_argument(names, "redaction names")));
    // The old one is dropped here, or by the last dump still using it; both
    // hold the GIL.
    current_redactor().swap(redactor);
    Py_RETURN_NONE;
  });
}

PyObject* py_is_secret_name(PyObject*, PyObject* name) {
  return boundary([&]() -> PyObject* {
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "name must be str, not %.200s", Py_TYPE(name)->tp_name);
      throw_py();
    }
    const std::shared_ptr<Redactor> redactor = current_redactor();
    return PyBool_FromLong(redactor->is_secret(name));
  });
}

Ref str_list(const std::vector<std::string>& texts) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  for (size_t i = 0; i < texts.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make_str(texts[i]).release());
  }
  return list;
}

PyObject* py_redaction_from_config(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs < 1 || nargs > 2) {
      PyErr_Format(PyExc_TypeError, "redaction_from_config() takes 1 or 2 arguments (%zd given)",
                   nargs);
      throw_py();
    }
    const auto names = redaction_names_from_config(args[0], nargs > 1 ? args[1] : nullptr);
    if (!names) Py_RETURN_NONE;
    return str_list(*names).release();
  });
}

PyObject* py_redact_command_line(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "redact_command_line() takes 2 arguments (%zd given)", nargs);
      throw_py();
    }
    std::vector<std::string> arguments;
    {
      Ref seq = Ref::check(PySequence_Fast(args[0], "arguments must be a list of str"));
      const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* arg = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyUnicode_Check(arg)) {
          PyErr_Format(PyExc_TypeError, "arguments must be str, not %.200s", Py_TYPE(arg)->tp_name);
          throw_py();
        }
        const Utf8Text text = utf8_text(arg);
        arguments.emplace_back(text.text());
      }
    }
    const Redaction rules(names_argument(args[1], "redaction names"));
    return str_list(redact_command_line(arguments, rules)).release();
  });
}

// The document of one trace point, written as the engines write theirs.
PyObject* py_trace_point_document(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 9) {
      PyErr_Format(PyExc_TypeError, "trace_point_document() takes 9 arguments (%zd given)", nargs);
      throw_py();
    }
    const char* const texts[] = {"trace_id", "root_trace_id", "thread_id"};
    for (int i = 0; i < 3; ++i) {
      if (!PyUnicode_Check(args[i])) argument_error(texts[i], args[i], "PyString");
    }
    PyObject* thread = args[3];
    if (!PyUnicode_Check(args[4])) argument_error("co_name", args[4], "PyString");
    if (!PyList_Check(args[5])) argument_error("records", args[5], "PyList");
    if (!PyUnicode_Check(args[6])) argument_error("source", args[6], "PyString");
    if (!PyDict_Check(args[7])) argument_error("config", args[7], "PyDict");
    const double handed_at = PyFloat_AsDouble(args[8]);
    if (handed_at == -1.0 && PyErr_Occurred()) throw_py();

    const Config config = Config::from_dict(args[7]);
    const HostFacts host = collect_host_facts(config, true, false);
    // Held here: the views below stay valid while the list's items do, and
    // nothing from here on runs Python code but the thread's attributes.
    Ref records = Ref::check(PyList_GetSlice(args[5], 0, PyList_GET_SIZE(args[5])));
    std::vector<std::string_view> views;
    views.reserve(static_cast<size_t>(PyList_GET_SIZE(records.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.get()); ++i) {
      PyObject* record = PyList_GET_ITEM(records.get(), i);
      if (!PyBytes_Check(record)) argument_error("records", record, "PyBytes");
      views.emplace_back(PyBytes_AS_STRING(record), static_cast<size_t>(PyBytes_GET_SIZE(record)));
    }
    const Utf8Text trace_id = utf8_text(args[0]);
    const Utf8Text root_trace_id = utf8_text(args[1]);
    const Utf8Text thread_id = utf8_text(args[2]);
    const Utf8Text co_name = utf8_text(args[4]);
    const Utf8Text source = utf8_text(args[6]);
    return write_trace_point_document(TracePointParts{trace_id.text(), root_trace_id.text(),
                                                      co_name.text(), thread_id.text(), thread,
                                                      source.text(), views, handed_at, host})
        .release();
  });
}

// configure_values(values, repr_types, max_value_bytes): all three given
// (vask.serialize.configure_values supplies the defaults and checks types).
PyObject* py_configure_values(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_Format(PyExc_TypeError, "_configure_values() takes 3 arguments (%zd given)", nargs);
      throw_py();
    }
    auto policy = std::make_shared<ValuePolicy>();
    const std::string mode = PyUnicode_Check(args[0]) ? str_text(args[0]) : std::string();
    if (mode == "safe") {
      policy->mode = ValuesMode::Safe;
    } else if (mode == "repr") {
      policy->mode = ValuesMode::Repr;
    } else if (mode == "fields") {
      policy->mode = ValuesMode::Fields;
    } else {
      PyErr_Format(PyExc_ValueError, "values must be \"safe\", \"repr\" or \"fields\", not %R",
                   args[0]);
      throw_py();
    }
    Ref seq = Ref::check(PySequence_Fast(args[1], "repr_types must be a list of str"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      PyObject* name = PySequence_Fast_GET_ITEM(seq.get(), i);
      if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "repr_types must be str, not %.200s", Py_TYPE(name)->tp_name);
        throw_py();
      }
      policy->repr_types.push_back(str_text(name));
    }
    const long long cap = PyLong_AsLongLong(args[2]);
    if (cap == -1 && PyErr_Occurred()) throw_py();
    if (cap < 0) {
      PyErr_SetString(PyExc_ValueError, "max_value_bytes must be 0 (no cap) or more");
      throw_py();
    }
    policy->max_value_bytes = cap;
    set_value_policy(std::move(policy));
    Py_RETURN_NONE;
  });
}

// The current settings as (values, repr_types, max_value_bytes).
PyObject* py_value_settings(PyObject*, PyObject*) {
  return boundary([&]() -> PyObject* {
    const auto policy = value_policy();
    static constexpr const char* kModes[] = {"safe", "repr", "fields"};
    Ref mode = make_str(kModes[static_cast<int>(policy->mode)]);
    Ref types = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(policy->repr_types.size())));
    for (size_t i = 0; i < policy->repr_types.size(); ++i) {
      PyTuple_SET_ITEM(types.get(), static_cast<Py_ssize_t>(i),
                       make_str(policy->repr_types[i]).release());
    }
    Ref cap = Ref::check(PyLong_FromLongLong(policy->max_value_bytes));
    return Ref::check(PyTuple_Pack(3, mode.get(), types.get(), cap.get())).release();
  });
}

// before() gives the function to call, which gets the other arguments;
// after(its result, or None when it raised) runs either way, its own error
// reported as unraisable. While the function runs no Python frame of vask's
// is on the stack (wrapped in functools.partial, this is a wrapper without
// one): what the function attributes to its caller by stack level, such as
// os.fork's warning of a fork with threads running, lands in the program's
// own code, where its warning filters expect it.
PyObject* py_call_between(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 2) {
    PyErr_SetString(PyExc_TypeError, "_call_between needs before and after");
    return nullptr;
  }
  Ref func = Ref::steal(PyObject_CallNoArgs(args[0]));
  if (!func) return nullptr;
  Ref result = Ref::steal(PyObject_Vectorcall(func.get(), args + 2,
                                              static_cast<size_t>(nargs - 2), nullptr));
  Ref raised = fetch_error();  // put back once after() has run
  Ref done = Ref::steal(PyObject_CallOneArg(args[1], result ? result.get() : Py_None));
  if (!done) PyErr_WriteUnraisable(args[1]);
  if (raised) restore_error(std::move(raised));
  return result.release();
}

PyMethodDef g_methods[] = {
    method_fastcall("_scan_records", vask::scan::py_scan_records,
                    "_scan_records($module, data, start, count, earliest, latest, origin,\n"
                    "              width, /)\n--\n\n"
                    "Measure up to count records of a trace document's frames array from\n"
                    "start and read their heads: (next, stop, ends, codes, times, spans,\n"
                    "starts), for the trace index."),
    method_fastcall("_decode_index_block", vask::scan::py_decode_index_block,
                    "_decode_index_block($module, block, layout, lo, hi, /)\n--\n\n"
                    "Rows lo to hi of a calls index block's columns (of a tuple of blocks:\n"
                    "their rows one after another), one bytes object per column of the\n"
                    "layout, in native byte order."),
    method_fastcall("_spans_lacking", vask::scan::py_spans_lacking,
                    "_spans_lacking($module, data, needle, spans, /)\n--\n\n"
                    "Per (offset, length) pair of spans (native 64-bit ints): 1 when that\n"
                    "part of data lacks needle, else 0; a length of -1 is the MessagePack\n"
                    "object at the offset, -2 - gap the one gap bytes after it (2: it runs\n"
                    "past data). For the calls index's value search."),
    method_fastcall("_call_rows", vask::scan::py_call_rows,
                    "_call_rows($module, document, table, earliest, latest, /)\n--\n\n"
                    "The calls index's rows of one trace document, read natively (table:\n"
                    "its records' table, or None), or a text saying why there are none."),
    method_fastcall("_encode_call_index", vask::scan::py_encode_call_index,
                    "_encode_call_index($module, rows, ids, block_rows, start_ticks,\n"
                    "                   finest_tick, /)\n--\n\n"
                    "The calls index of the rows _call_rows read: its facts, its summary\n"
                    "per name and its blocks, uncompressed; or a text saying why there\n"
                    "is none."),
    method_fastcall("_count_calls", vask::scan::py_count_calls,
                    "_count_calls($module, document, table, /)\n--\n\n"
                    "The call records of a trace document, found by its records' table\n"
                    "(its values not looked into), or None when the table does not match."),
    method_o("_document_table", vask::scan::py_document_table,
             "_document_table($module, document, /)\n--\n\n"
             "The records' table of the document this thread hands to\n"
             "vask.db.save_trace, or None."),
    method_o("_cut_ids_and_times", vask::scan::py_cut_ids_and_times,
             "_cut_ids_and_times($module, data, /)\n--\n\n"
             "Stored records with their frame ids and timestamps cut out, for the diff."),
    method_fastcall("_link_records", vask::scan::py_link_records,
                    "_link_records($module, thread, state, names, closed_names, buf, columns,\n"
                    "              first, rec0, i, /)\n--\n\n"
                    "Link the common records of scanned columns into a trace index's tree,\n"
                    "from the i-th on: (stopped_at, new node columns...)."),
    method_fastcall("_call_between", py_call_between,
                    "_call_between($module, before, after, /, *args)\n--\n\n"
                    "Call the function before() returns with args, then after(its result,\n"
                    "or None when it raised), adding no Python frame of its own."),
    method_fastcall("_configure_values", py_configure_values,
                    "_configure_values($module, values, repr_types, max_value_bytes, /)\n--\n\n"
                    "Set how the dumpers write objects, process-wide (see vask.serialize)."),
    {"value_settings", py_value_settings, METH_NOARGS,
     "value_settings($module, /)\n--\n\n"
     "The dumpers' current (values, repr_types, max_value_bytes)."},
    method_o("dump_msgpack", py_dump_msgpack,
             "dump_msgpack($module, value, /)\n--\n\n"
             "One bounded MessagePack object for ``value``; never raises (but for the\n"
             "program's own exceptions). See the documentation of vask.serialize."),
    method_o("dump_msgpack_lightweight_repr", py_dump_msgpack_lightweight_repr,
             "dump_msgpack_lightweight_repr($module, value, /)\n--\n\n"
             "Like dump_msgpack, but writes only short reprs: a dict becomes a map of key\n"
             "text to the short repr of its value; any other value becomes one short repr."),
    method_o("configure_redaction", py_configure_redaction,
             "configure_redaction($module, names, /)\n--\n\n"
             "Set the names whose entries the dumpers redact, process-wide (None: none)."),
    method_o("is_secret_name", py_is_secret_name,
             "is_secret_name($module, name, /)\n--\n\n"
             "Whether the dumpers redact the value of an entry called ``name``."),
    method_fastcall("redaction_from_config", py_redaction_from_config,
                    "redaction_from_config($module, redact, extra=None, /)\n--\n\n"
                    "The names that the configuration values ``redact`` and ``redact_extra`` ask\n"
                    "for, or None when redaction is off. Raises TypeError or ValueError."),
    method_fastcall("redact_command_line", py_redact_command_line,
                    "redact_command_line($module, arguments, names, /)\n--\n\n"
                    "The command-line arguments with the values of secret options hidden, judged\n"
                    "by ``names`` as redaction_from_config gives them (None: nothing is hidden)."),
    method_fastcall("trace_point_document", py_trace_point_document,
                    "trace_point_document($module, trace_id, root_trace_id, thread_id, thread, "
                    "co_name, records, source, config, handed_at, /)\n--\n\n"
                    "The trace document of one trace point: the frame records (bytes) of a\n"
                    "completed call of ``co_name`` on the thread ``thread`` (its identity\n"
                    "``thread_id``), stored as ``trace_id`` and linked to the trace\n"
                    "``root_trace_id`` it fired in; ``config`` is the stored configuration,\n"
                    "``handed_at`` the time used when the call record has none."),
    kMethodsEnd,
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_dump", nullptr, -1, g_methods, nullptr, nullptr, nullptr, nullptr,
};

void add(PyObject* module, const char* name, Ref value) {
  if (PyModule_AddObject(module, name, value.get()) < 0) throw_py();
  (void)value.release();  // stolen on success
}

void add_int(PyObject* module, const char* name, long long value) {
  add(module, name, Ref::check(PyLong_FromLongLong(value)));
}

void add_str(PyObject* module, const char* name, std::string_view value) {
  add(module, name, make_str(value));
}

}  // namespace
}  // namespace vask::dump

PyMODINIT_FUNC PyInit__dump() {
  using namespace vask;
  using namespace vask::dump;
  return boundary([]() -> PyObject* {
    init_interned();
    prepare_dumpers();
    watch_interpreter_exit();
    Ref module = Ref::check(PyModule_Create(&g_module));
    PyObject* m = module.get();
    add_int(m, "MAX_STRING_CHARS", kMaxStringChars);
    add_int(m, "MAX_BYTES", kMaxBytes);
    add_int(m, "MAX_ITEMS", kMaxItems);
    add_int(m, "MAX_DEPTH", kMaxDepth);
    add_int(m, "LIGHTWEIGHT_REPR_CHARS", kLightweightReprChars);
    add_int(m, "MAX_OUTPUT_UNITS", kMaxOutputUnits);
    add_int(m, "MAX_INT_REPR_BITS", static_cast<long long>(kMaxIntReprBits));
    add_int(m, "EXT_REPR", kExtRepr);
    add_int(m, "EXT_TUPLE", kExtTuple);
    add_int(m, "EXT_SET", kExtSet);
    add_int(m, "EXT_FROZENSET", kExtFrozenset);
    add_int(m, "EXT_OBJECT", kExtObject);
    add_int(m, "DEFAULT_MAX_VALUE_BYTES", kDefaultMaxValueBytes);
    add_str(m, "TRUNCATED_KEY", kTruncatedKey);
    add_str(m, "OUTPUT_LIMIT_MARKER", kOutputLimitMarker);
    add_str(m, "UNSERIALIZABLE", kUnserializable);
    add_str(m, "REDACTED", kRedacted);
    const auto defaults = default_redact_names();
    Ref names = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
    for (size_t i = 0; i < defaults.size(); ++i) {
      PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), make_str(defaults[i]).release());
    }
    add(m, "DEFAULT_REDACT_NAMES", std::move(names));
    static EngineApi api{as_cfunction(py_dump_msgpack),
                         as_cfunction(py_dump_msgpack_lightweight_repr), engine_dump,
                         engine_dump_named};
    add(m, "_engine_api", Ref::check(PyCapsule_New(&api, kEngineApiCapsule, nullptr)));
    return module.release();
  });
}
