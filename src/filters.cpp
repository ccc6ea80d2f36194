#include "filters.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>

#include "support/gil_mutex.hpp"

namespace vask {

// ---- Finder -----------------------------------------------------------------

// Horspool search. The shift table is computed once per needle; a search then
// compares the window's last byte and skips ahead by the table, which on file
// paths usually moves a whole needle length per step.
struct Finder::Searcher {
  explicit Searcher(std::string n) : needle(std::move(n)) {
    const size_t len = needle.size();
    const auto full =
        static_cast<uint32_t>(std::min<size_t>(len, std::numeric_limits<uint32_t>::max()));
    shift.fill(full);
    for (size_t i = 0; i + 1 < len; ++i) {
      shift[static_cast<unsigned char>(needle[i])] = static_cast<uint32_t>(
          std::min<size_t>(len - 1 - i, std::numeric_limits<uint32_t>::max()));
    }
  }

  size_t position(std::string_view hay, size_t from) const noexcept {
    const size_t len = needle.size();
    if (from > hay.size()) return std::string_view::npos;
    if (len == 0) return from;
    if (hay.size() - from < len) return std::string_view::npos;
    const char* n = needle.data();
    if (len == 1) {
      const void* hit = std::memchr(hay.data() + from, n[0], hay.size() - from);
      return hit == nullptr ? std::string_view::npos
                            : static_cast<size_t>(static_cast<const char*>(hit) - hay.data());
    }
    const char last = n[len - 1];
    const size_t end = hay.size() - len;
    size_t pos = from;
    while (pos <= end) {
      const char c = hay[pos + len - 1];
      if (c == last && std::memcmp(hay.data() + pos, n, len - 1) == 0) return pos;
      pos += shift[static_cast<unsigned char>(c)];
    }
    return std::string_view::npos;
  }

  std::string needle;  // the searcher's own copy, independent of the Finder's
  std::array<uint32_t, 256> shift;
};

Finder::Finder(std::string needle)
    : needle_(needle), searcher_(std::make_unique<Searcher>(std::move(needle))) {}
Finder::Finder(Finder&&) noexcept = default;
Finder& Finder::operator=(Finder&&) noexcept = default;
Finder::~Finder() = default;

size_t Finder::position(std::string_view haystack, size_t from) const noexcept {
  // Only a moved-from Finder has no searcher; it matches nothing.
  if (searcher_ == nullptr) return std::string_view::npos;
  return searcher_->position(haystack, from);
}

bool Finders::any(std::string_view haystack) const noexcept {
  for (const Finder& f : finders_) {
    if (f.find(haystack)) return true;
  }
  return false;
}

// ---- configured rules ---------------------------------------------------------

std::vector<std::string> to_str_list(PyObject* value, const char* what) {
  // A str is itself a sequence of str; accepting it would turn "abc" into the
  // needles "a", "b", "c".
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of str, not a single str", what);
    throw_py();
  }
  if (!PySequence_Check(value)) {
    conversion_error(value, "Sequence");
  }
  const Py_ssize_t n = PySequence_Size(value);
  if (n < 0) throw_py();
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::check(PySequence_GetItem(value, i));
    out.push_back(str_text(item.get()));
  }
  return out;
}

Finders load_filters(PyObject* filters, const char* key) {
  if (filters == nullptr) return {};
  Ref k = make_str(key);
  Ref value = Ref::steal(PyObject_GetItem(filters, k.get()));
  if (!value) {
    // Missing key, None or a non-mapping: no rules of this kind, by design.
    PyErr_Clear();
    return {};
  }
  std::vector<std::string> needles = to_str_list(value.get(), key);
  std::vector<Finder> finders;
  finders.reserve(needles.size());
  for (std::string& needle : needles) finders.emplace_back(std::move(needle));
  return Finders(std::move(finders));
}

// ---- fixed rules ----------------------------------------------------------------

namespace {

constexpr std::array<std::string_view, 3> kLibraryNeedles = {"lib/python", "lib64/python",
                                                             "/site-packages/"};

constexpr std::string_view kPytestExpression = "<pytest match expression>";
constexpr std::string_view kAttrsGenerated = "<attrs generated";
constexpr std::string_view kAttrsMake = "attr/_make.py";

// Built once per process on first use (a function-local static: concurrent
// first users wait for the one that builds it) and read-only afterwards. No
// Python code runs while it is built, so holding the GIL cannot deadlock.
struct FixedSets {
  FixedSets() {
    std::vector<Finder> lib;
    lib.reserve(kLibraryNeedles.size());
    for (std::string_view n : kLibraryNeedles) lib.emplace_back(std::string(n));
    library = Finders(std::move(lib));
  }

  Finders library;
  Finder frozen{"<frozen "};
  Finder executed{"<string>"};
};

const FixedSets& fixed() {
  static const FixedSets sets;
  return sets;
}

// ---- the host package's directories ---------------------------------------------
//
// Readers (every event) take the current list with one acquire load and
// never lock; writers (engine construction) build a new list under the
// mutex and publish it. A published list is never changed or freed while
// the process runs: a reader may still be walking an older one.

struct PackageDirs {
  std::vector<std::string> dirs;  // each ends with exactly one '/'
};

std::atomic<const PackageDirs*> g_package_dirs{nullptr};

// Every list ever published, kept so that none is freed under a reader.
Guarded<std::vector<std::unique_ptr<const PackageDirs>>>& published_dirs() {
  // Never destroyed: a thread may still read the newest list at exit.
  static auto* lists = new Guarded<std::vector<std::unique_ptr<const PackageDirs>>>();
  return *lists;
}

bool under_package_dir(std::string_view f) noexcept {
  const PackageDirs* current = g_package_dirs.load(std::memory_order_acquire);
  if (current == nullptr) return false;
  for (const std::string& dir : current->dirs) {
    if (f.size() > dir.size() && std::memcmp(f.data(), dir.data(), dir.size()) == 0) return true;
  }
  return false;
}

// Fixed-length comparisons: the length test first, then a memcmp of constant
// size that compilers turn into a few word compares.
bool starts_with_attrs_generated(std::string_view f) noexcept {
  return f.size() >= kAttrsGenerated.size() &&
         std::memcmp(f.data(), kAttrsGenerated.data(), kAttrsGenerated.size()) == 0;
}

}  // namespace

void add_package_dir(std::string_view dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  // An empty or root directory would make every file internal.
  if (dir.empty() || dir == "/") return;
  std::string entry(dir);
  entry.push_back('/');
  auto lists = published_dirs().lock();
  const PackageDirs* current = g_package_dirs.load(std::memory_order_acquire);
  if (current != nullptr) {
    for (const std::string& known : current->dirs) {
      if (known == entry) return;
    }
  }
  auto next = std::make_unique<PackageDirs>(current != nullptr ? *current : PackageDirs{});
  next->dirs.push_back(std::move(entry));
  const PackageDirs* published = next.get();
  lists->push_back(std::move(next));
  g_package_dirs.store(published, std::memory_order_release);
}

void note_package_dir(PyObject* value) {
  if (value == nullptr || value == Py_None) return;
  if (!PyUnicode_Check(value)) conversion_error(value, "PyString");
  add_package_dir(str_text(value));
}

bool vask_filter(std::string_view filename) noexcept { return under_package_dir(filename); }
bool library_filter(std::string_view filename) noexcept { return fixed().library.any(filename); }
bool frozen_filter(std::string_view filename) noexcept { return fixed().frozen.find(filename); }
bool executed_filter(std::string_view filename) noexcept { return fixed().executed.find(filename); }

bool generated_name(std::string_view filename) noexcept {
  if (filename.size() == kPytestExpression.size() &&
      std::memcmp(filename.data(), kPytestExpression.data(), kPytestExpression.size()) == 0) {
    return true;
  }
  return starts_with_attrs_generated(filename);
}

bool ends_with_attrs_make(std::string_view filename) noexcept {
  return filename.size() >= kAttrsMake.size() &&
         std::memcmp(filename.data() + filename.size() - kAttrsMake.size(), kAttrsMake.data(),
                     kAttrsMake.size()) == 0;
}

bool excluded_by_fixed_rules(std::string_view filename) noexcept {
  const FixedSets& s = fixed();
  return s.library.any(filename) || s.frozen.find(filename) || under_package_dir(filename) ||
         s.executed.find(filename);
}

// ---- frames -------------------------------------------------------------------

Utf8Text frame_filename(PyObject* frame) {
  if (!PyFrame_Check(frame)) fault("A frame has a code object.");
  // PyFrame_GetCode gives a new reference, but the frame keeps its code object
  // alive and the code object its co_filename, so the returned text stays
  // valid for as long as the caller's (borrowed) frame does.
  PyCodeObject* code = PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame));
  if (code == nullptr) fault("A frame has a code object.");
  PyObject* filename = code->co_filename;  // borrowed from the code object
  Py_DECREF(code);
  if (filename == nullptr || !PyUnicode_Check(filename)) fault("A filename is a string.");
  return utf8_text(filename);
}

bool attrs_filter(PyObject* frame, std::string_view filename) {
  if (starts_with_attrs_generated(filename)) return false;
  if (!PyFrame_Check(frame)) fault("A frame has an `f_back` attribute.");
  // New references: on 3.11+ the caller's frame object may be created here.
  Ref back = Ref::steal(
      reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame))));
  if (!back) return false;
  const Utf8Text caller = frame_filename(back.get());
  if (!caller.text().empty()) return ends_with_attrs_make(caller.text());
  // An unnamed caller (code compiled from a string) is looked through once.
  Ref back2 = Ref::steal(
      reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(back.get()))));
  if (!back2) return false;
  const Utf8Text caller2 = frame_filename(back2.get());
  return ends_with_attrs_make(caller2.text());
}

NameVerdict verdict_by_name(std::string_view filename, const Finders& include,
                            const Finders& ignore, CallerRule rule) noexcept {
  if (include.any(filename)) return NameVerdict::Recorded;
  // Every test is free of side effects, so stopping at the first that leaves
  // the frame out gives the same answer as evaluating all of them.
  if (excluded_by_fixed_rules(filename) || generated_name(filename) || ignore.any(filename)) {
    return NameVerdict::Left;
  }
  if (rule == CallerRule::EveryFile || filename.empty()) return NameVerdict::ByCallers;
  return NameVerdict::Recorded;
}

bool should_record(PyObject* frame, std::string_view filename, const Finders& include,
                   const Finders& ignore, CallerRule rule) {
  switch (verdict_by_name(filename, include, ignore, rule)) {
    case NameVerdict::Recorded:
      return true;
    case NameVerdict::Left:
      return false;
    case NameVerdict::ByCallers:
      break;
  }
  // The frame walk, the only costly test, comes last.
  return frame == nullptr || !attrs_filter(frame, filename);
}

}  // namespace vask
