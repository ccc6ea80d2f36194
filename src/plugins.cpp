#include "plugins.hpp"

#include <array>
#include <span>

#include "support/program_errors.hpp"

namespace vask {

namespace {

// Record keys and event names, interned once and kept for the life of the
// process. Built under the GIL by the first caller; interning runs no Python
// code, so the function-local static cannot be entered twice at once.
struct PluginNames {
  PyObject* frame_id;
  PyObject* timestamp;
  PyObject* user_code_call_site;
  PyObject* call_frame_id;
  PyObject* line_number;
  PyObject* type;
  PyObject* subtype;
  std::array<PyObject*, 6> events;  // indexed by FrameEvent

  PluginNames() {
    frame_id = intern("frame_id");
    timestamp = intern("timestamp");
    user_code_call_site = intern("user_code_call_site");
    call_frame_id = intern("call_frame_id");
    line_number = intern("line_number");
    type = intern("type");
    subtype = intern("subtype");
    for (size_t i = 0; i < events.size(); ++i) {
      std::string_view name = event_name(static_cast<FrameEvent>(i));
      Ref s = make_str(name);
      PyObject* p = s.release();
      PyUnicode_InternInPlace(&p);
      events[i] = p;
    }
  }

  PyObject* event(FrameEvent e) const noexcept { return events[static_cast<size_t>(e)]; }

 private:
  static PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (o == nullptr) throw_py();
    return o;
  }
};

const PluginNames& names() {
  static const PluginNames n;
  return n;
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) < 0) throw_py();
}

// A breach of the host package's contract. The fault keeps the host's own
// exception, when there is one, as its cause: it is what says why.
[[noreturn]] void contract_breach(const char* message) {
  if (!PyErr_Occurred()) fault(message);
  Ref cause = fetch_error();
  PyErr_SetString(PyExc_SystemError, message);
  Ref exc = fetch_error();
  PyException_SetContext(exc.get(), cause.copy().release());  // steals
  PyException_SetCause(exc.get(), cause.release());           // steals
  restore_error(std::move(exc));
  throw_py();
}

// description[key]; a missing key raises KeyError(key).
Ref require(PyObject* description, const char* key) {
  Ref k = make_str(key);
  PyObject* value = PyDict_GetItemWithError(description, k.get());  // borrowed
  if (value == nullptr) {
    if (PyErr_Occurred()) fault("a string is always a valid dict key");
    PyErr_SetObject(PyExc_KeyError, k.get());
    throw_py();
  }
  return Ref::incref(value);
}

// description.get(key), or null when absent (None is a value here).
Ref lookup(PyObject* description, const char* key) {
  Ref k = make_str(key);
  PyObject* value = PyDict_GetItemWithError(description, k.get());  // borrowed
  if (value == nullptr && PyErr_Occurred()) fault("a string is always a valid dict key");
  return Ref::incref(value);
}

std::string required_text(PyObject* description, const char* key) {
  Ref value = require(description, key);
  return str_text(value.get());
}

// Only absence gives nullopt; a present None is a conversion error.
std::optional<std::string> optional_text(PyObject* description, const char* key) {
  Ref value = lookup(description, key);
  if (!value) return std::nullopt;
  return str_text(value.get());
}

Ref mapping_class() {
  // Cached for the life of the process (a strong reference that is never
  // dropped). The import may release the GIL; a second thread that also
  // imported keeps its own reference and drops it.
  static PyObject* mapping = nullptr;
  if (mapping == nullptr) {
    Ref abc = import("collections.abc");
    Ref cls = getattr(abc.get(), "Mapping");
    if (mapping == nullptr) mapping = cls.release();
  }
  return Ref::incref(mapping);
}

// dict, or an instance of collections.abc.Mapping. A failing instance test is
// reported to the unraisable hook and counts as "not a mapping", unless its
// exception belongs to the traced program, which is thrown (PyErrSet).
bool is_mapping(PyObject* obj) {
  if (PyDict_Check(obj)) return true;
  Ref mapping = mapping_class();
  const int r = PyObject_IsInstance(obj, mapping.get());
  if (r < 0) {
    Ref error = fetch_error();
    const bool program = belongs_to_program(error.get());
    restore_error(std::move(error));
    if (program) throw_py();
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return r == 1;
}

}  // namespace

Ref get_callable(PyObject* description, const char* key) {
  Ref value = lookup(description, key);
  if (value.get() == Py_None) return {};
  return value;
}

// ---- PluginProcessor --------------------------------------------------------

PluginProcessor::PluginProcessor(Description desc, Serializer serializer)
    : description_(std::move(desc)),
      fragment_(description_.path_fragment),
      serializer_(std::move(serializer)) {}

const std::string& PluginProcessor::type_for(FrameEvent event) const noexcept {
  switch (event) {
    case FrameEvent::Call:
      return description_.call_type;
    case FrameEvent::Return:
      return description_.return_type;
    case FrameEvent::Unwind:
      return description_.unwind_type;
    case FrameEvent::Resume:
      return description_.resume_type;
    case FrameEvent::Yield:
      return description_.yield_type;
    case FrameEvent::Throw:
      return description_.throw_type;
  }
  return description_.call_type;
}

bool PluginProcessor::matches_frame(PyObject* frame, FrameEvent event, PyObject* arg,
                                    std::string_view filename) {
  if (!path_matches(filename)) return false;
  if (!description_.call) return true;
  Ref result = call(description_.call.get(), frame, names().event(event), arg ? arg : Py_None,
                    description_.context.get());
  if (!PyBool_Check(result.get())) conversion_error(result.get(), "PyBool");
  return result.get() == Py_True;
}

std::optional<PluginRecord> PluginProcessor::process(PyObject* frame, FrameEvent event,
                                                     PyObject* arg,
                                                     std::vector<CallFrameEntry> call_frames,
                                                     bool lightweight_repr) {
  if (description_.events) {
    const std::string_view name = event_name(event);
    bool wanted = false;
    for (const std::string& e : *description_.events) {
      if (e == name) {
        wanted = true;
        break;
      }
    }
    if (!wanted) return std::nullopt;
  }
  const PluginNames& n = names();
  Ref record = Ref::check(PyDict_New());

  const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(frame));
  std::string frame_id;
  if (is_closing(event)) {
    {
      // Lookup only: no Python code and no GIL release under this lock.
      std::scoped_lock lock(frame_ids_mutex_);
      if (auto it = frame_ids_.find(address); it != frame_ids_.end()) frame_id = it->second;
    }
    // A frame never seen opening gets an id of its own, not remembered.
    if (frame_id.empty()) frame_id = new_frame_id();
  } else {
    frame_id = new_frame_id();
    std::scoped_lock lock(frame_ids_mutex_);
    frame_ids_.insert_or_assign(address, frame_id);
  }
  set_item(record.get(), n.frame_id, make_str(frame_id).get());
  set_item(record.get(), n.timestamp, Ref::check(PyFloat_FromDouble(timestamp())).get());

  std::optional<CallSite> site =
      user_code_call_site(std::span<const CallFrameEntry>(call_frames), frame_id);
  if (site) {
    Ref site_dict = Ref::check(PyDict_New());
    set_item(site_dict.get(), n.call_frame_id, make_str(site->call_frame_id).get());
    set_item(site_dict.get(), n.line_number, Ref::check(PyLong_FromLong(site->line_number)).get());
    set_item(record.get(), n.user_code_call_site, site_dict.get());
  } else {
    set_item(record.get(), n.user_code_call_site, Py_None);
  }
  set_item(record.get(), n.type, make_str(type_for(event)).get());
  if (description_.subtype)
    set_item(record.get(), n.subtype, make_str(*description_.subtype).get());

  if (description_.process) {
    Ref result = call(description_.process.get(), frame, n.event(event), arg ? arg : Py_None,
                      description_.context.get());
    if (!is_mapping(result.get())) conversion_error(result.get(), "Mapping");
    // The callback's keys are added last and may override any set above.
    if (PyDict_Update(record.get(), result.get()) < 0) throw_py();
  }

  PyObject* type = PyDict_GetItemWithError(record.get(), n.type);  // borrowed
  if (type == nullptr) {
    if (PyErr_Occurred()) throw_py();
    fault("type is always set");
  }
  std::string type_text = str_text(type);
  Bytes bytes = serializer_.dump_msgpack(record.get(), lightweight_repr);
  return PluginRecord{std::move(type_text), std::move(bytes)};
}

// ---- loading ----------------------------------------------------------------

PluginRegistry load_plugins(PyObject* config) {
  Ref module = Ref::steal(PyImport_ImportModule("vask.plugins"));
  if (!module) contract_breach("vask.plugins should always be importable");
  Ref load = Ref::steal(PyObject_GetAttrString(module.get(), "load_plugin_data"));
  if (!load) contract_breach("load_plugin_data should exist");
  Ref descriptions = Ref::steal(PyObject_CallOneArg(load.get(), config));
  if (!descriptions) contract_breach("load_plugin_data should be callable");
  if (!PyList_Check(descriptions.get())) contract_breach("load_plugin_data should return a list");

  PluginRegistry registry;
  registry.reserve(static_cast<size_t>(PyList_GET_SIZE(descriptions.get())));
  // The length is read on every step: build_context and the co_names
  // iteration run Python code that could shrink the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(descriptions.get()); ++i) {
    Ref item = Ref::incref(PyList_GET_ITEM(descriptions.get(), i));
    PyObject* d = item.get();
    if (!PyDict_Check(d)) conversion_error(d, "PyDict");
    Ref co_names = require(d, "co_names");

    Ref context;
    if (Ref build_context = get_callable(d, "build_context")) {
      context = call(build_context.get(), config);
      if (!PyDict_Check(context.get())) conversion_error(context.get(), "PyDict");
    } else {
      context = Ref::check(PyDict_New());
    }

    Ref iter = Ref::check(PyObject_GetIter(co_names.get()));
    while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
      std::string co_name = str_text(name.get());
      PluginProcessor::Description desc;
      desc.path_fragment = required_text(d, "path_fragment");
      desc.call_type = required_text(d, "call_type");
      desc.return_type = required_text(d, "return_type");
      desc.unwind_type = optional_text(d, "unwind_type").value_or(desc.return_type);
      desc.resume_type = optional_text(d, "resume_type").value_or(desc.call_type);
      desc.yield_type = optional_text(d, "yield_type").value_or(desc.return_type);
      desc.throw_type = optional_text(d, "throw_type").value_or(desc.unwind_type);
      desc.subtype = optional_text(d, "subtype");
      desc.call = get_callable(d, "call");
      desc.process = get_callable(d, "process");
      if (Ref events = get_callable(d, "events")) {
        desc.events = to_str_list(events.get(), "events");
      }
      desc.context = context.copy();
      auto processor = std::make_unique<PluginProcessor>(std::move(desc), Serializer::create());
      registry[std::move(co_name)].push_back(std::move(processor));
    }
    if (PyErr_Occurred()) throw_py();  // the iteration itself failed
  }
  return registry;
}

}  // namespace vask
