// Plugin processors: host-described watchers that turn matching calls into
// records of their own (test starts and ends, web requests).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/serializer.hpp"
#include "filters.hpp"
#include "support/gil_mutex.hpp"
#include "support/py.hpp"
#include "utils/call_sites.hpp"
#include "utils/ids.hpp"
#include "utils/records.hpp"

namespace vask {

struct PluginRecord {
  std::string type;
  Bytes record;
};

class PluginProcessor {
 public:
  struct Description {
    std::string path_fragment;
    std::string call_type, return_type, unwind_type, resume_type, yield_type, throw_type;
    std::optional<std::string> subtype;
    std::optional<std::vector<std::string>> events;
    Ref call;     // may be null
    Ref process;  // may be null
    Ref context;  // dict shared by the processors of one description
  };
  PluginProcessor(Description desc, Serializer serializer);

  // Path fragment test, then the description's call(frame, event, arg,
  // context), which must return a bool. Throws PyErrSet.
  bool matches_frame(PyObject* frame, FrameEvent event, PyObject* arg, std::string_view filename);
  // Builds the record for a matching event, or nullopt when the event kind is
  // not among `events`. Throws PyErrSet.
  std::optional<PluginRecord> process(PyObject* frame, FrameEvent event, PyObject* arg,
                                      std::vector<CallFrameEntry> call_frames,
                                      bool lightweight_repr);

  // The path fragment test alone: whether matches_frame() can ever be true
  // for a file.
  bool path_matches(std::string_view filename) const noexcept { return fragment_.find(filename); }
  const Description& description() const noexcept { return description_; }
  const std::string& type_for(FrameEvent event) const noexcept;

 private:
  Description description_;
  Finder fragment_;
  Serializer serializer_;
  // Frame object address -> frame id of this processor's records. Shared by
  // the threads that run this processor; held only for a lookup or insert.
  std::mutex frame_ids_mutex_;
  std::unordered_map<uint64_t, std::string> frame_ids_;
};

// co_name -> processors watching it, in registration order.
using PluginRegistry = StringMap<std::vector<std::unique_ptr<PluginProcessor>>>;

// description[key], with None and absence both giving an empty Ref. Whether
// it is callable shows only when it is called, at event time.
Ref get_callable(PyObject* description, const char* key);

// Calls vask.plugins.load_plugin_data(config) and builds the registry.
// Throws PyErrSet. A breach of the host contract carries its fixed message:
// as InternalFault, or, when the host raised, as a SystemError whose cause is
// the host's exception.
PluginRegistry load_plugins(PyObject* config);

}  // namespace vask
