// Frame filters: which frames are user code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/code_facts.hpp"
#include "support/py.hpp"

namespace vask {

// A substring searcher for one needle, compiled once and reused. A haystack
// shorter than the needle is no match; an empty needle matches everything.
class Finder {
 public:
  explicit Finder(std::string needle);
  Finder(Finder&&) noexcept;
  Finder& operator=(Finder&&) noexcept;
  ~Finder();
  bool find(std::string_view haystack) const noexcept {
    return position(haystack) != std::string_view::npos;
  }
  // The first occurrence at or after `from`, or npos.
  size_t position(std::string_view haystack, size_t from = 0) const noexcept;
  const std::string& needle() const noexcept { return needle_; }

 private:
  std::string needle_;
  // The compiled search state. It owns its own copy of the needle and lives
  // behind a pointer, so moving a Finder never invalidates it.
  struct Searcher;
  std::unique_ptr<Searcher> searcher_;
};

class Finders {
 public:
  Finders() = default;
  explicit Finders(std::vector<Finder> finders) : finders_(std::move(finders)) {}
  // True when any needle occurs in the haystack; the first hit ends the scan.
  bool any(std::string_view haystack) const noexcept;
  size_t size() const noexcept { return finders_.size(); }
  bool empty() const noexcept { return finders_.empty(); }

 private:
  std::vector<Finder> finders_;
};

// filters: the value under "filters" in the configuration (null when absent);
// key: "include_frames" or "ignore_frames". Missing or unsubscriptable gives an
// empty list; a str or a non-str item throws PyErrSet.
Finders load_filters(PyObject* filters, const char* key);
// A sequence whose items are all str, as texts. A single str, a non-sequence
// or a non-str item throws PyErrSet (TypeError); `what` names the setting.
std::vector<std::string> to_str_list(PyObject* value, const char* what);

// The host package's directories: every file under one of them is
// package-internal, so the package's modules may live anywhere in it. The
// host passes its directory in the configuration key "package_dir" (see
// note_package_dir) at each engine's construction; a process may know
// several (two copies of the package). Once added, a directory stays for the
// life of the process. An empty or root directory is ignored.
void add_package_dir(std::string_view dir);
// The configuration value of "package_dir" (null when absent): a str is
// added; absent or None adds nothing. Anything else throws PyErrSet
// (TypeError naming the conversion).
void note_package_dir(PyObject* value);

// The fixed rules, shared process-wide statics built on first use.
bool vask_filter(std::string_view filename) noexcept;      // under a package directory
bool library_filter(std::string_view filename) noexcept;   // lib/python, site-packages
bool frozen_filter(std::string_view filename) noexcept;    // "<frozen "
bool executed_filter(std::string_view filename) noexcept;  // "<string>"
// "<pytest match expression>" exactly, or a "<attrs generated" prefix.
bool generated_name(std::string_view filename) noexcept;
bool ends_with_attrs_make(std::string_view filename) noexcept;
// library, frozen, internal or executed: the rules that need only the name.
bool excluded_by_fixed_rules(std::string_view filename) noexcept;

// The generated-code test on the callers: the caller (or, for an unnamed
// caller, its caller) is attrs' class-generation module.
bool attrs_filter(PyObject* frame, std::string_view filename);

// Which frames the callers test applies to, the one point where the engines'
// decisions differ. The profile hook applies it to every frame; the monitor
// only to a frame of an unnamed file, so that its verdict on any other code
// object depends on the file name alone and the location can be switched off
// for good (sys.monitoring.DISABLE) after one event.
enum class CallerRule : uint8_t {
  EveryFile,    // VaskProfiler
  UnnamedFile,  // VaskMonitor
};

// What the file name decides on its own (ByCallers: the callers test, as
// `rule` applies it, decides).
NameVerdict verdict_by_name(std::string_view filename, const Finders& include,
                            const Finders& ignore, CallerRule rule) noexcept;

// The decision for the code running in `frame`: an include rule overrides;
// otherwise recorded when none of library, frozen, internal, executed,
// generated (the callers test as `rule` applies it) and ignored holds.
bool should_record(PyObject* frame, std::string_view filename, const Finders& include,
                   const Finders& ignore, CallerRule rule);

// frame.f_code.co_filename as text, lone surrogates escaped as utf8_text()
// writes them (InternalFault on the impossible breaches). Throws PyErrSet
// when there is no memory for the escaped copy.
Utf8Text frame_filename(PyObject* frame);

}  // namespace vask
