// Redaction as the Python side configures it: configured names from Python
// values, and a Redactor that keeps the verdicts for str names.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dump/redaction.hpp"
#include "support/py.hpp"

namespace vask {

// The configured names that the configuration values `redact` and
// `redact_extra` ask for; either may be null (absent).
//   redact:       absent or True: default_redact_names(); False or None:
//                 nullopt (off); a str of comma-separated names, or a list or
//                 tuple of str: those names, replacing the defaults.
//   redact_extra: absent or None: nothing; a str or a list or tuple of str,
//                 as above: names added to what `redact` gives. Refused when
//                 `redact` turns redaction off.
// A name without words (has_words) is refused. Throws PyErrSet (TypeError or
// ValueError; the message names the configuration key). GIL held.
std::optional<std::vector<std::string>> redaction_names_from_config(PyObject* redact,
                                                                    PyObject* extra);

// A Redaction, with the verdicts of the str objects it has judged. Frames of
// one function have the same local names call after call, so a verdict is
// usually one pointer comparison. The cache holds strong references to the
// names it keeps (so an address is never reused while it is cached).
// Every call, construction and destruction included, needs the GIL.
class Redactor {
 public:
  explicit Redactor(Redaction rules) : rules_(std::move(rules)) {}
  ~Redactor();
  Redactor(const Redactor&) = delete;
  Redactor& operator=(const Redactor&) = delete;

  bool active() const noexcept { return rules_.active(); }
  const Redaction& rules() const noexcept { return rules_; }

  // `name`: any str instance (borrowed). Throws PyErrSet (MemoryError).
  // A name judged before is answered here, without a call.
  bool is_secret(PyObject* name) {
    if (!rules_.active()) return false;
    const Slot& slot = slot_of(name);
    if (slot.name == name && PyUnicode_CheckExact(name)) return slot.secret;
    return judge(name);
  }
  bool is_secret(std::string_view name) const { return rules_.is_secret(name); }

 private:
  struct Slot {
    PyObject* name = nullptr;  // owned
    bool secret = false;
  };
  static constexpr size_t kSlots = 256;

  Slot& slot_of(PyObject* name) noexcept {
    const auto address = reinterpret_cast<uintptr_t>(name);
    return slots_[((address >> 4) ^ (address >> 12)) % kSlots];
  }
  // Judges a name not cached, and caches the verdict of an exact str.
  bool judge(PyObject* name);

  Redaction rules_;
  std::array<Slot, kSlots> slots_{};
};

}  // namespace vask
