// A recorded thread, held without keeping its thread object alive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "support/py.hpp"

namespace vask {

// What a trace document says about a thread, read when the engine first
// identified it (the name again whenever the thread's recorded calls all
// returned); written in place of the object's own attributes once the
// object is gone. A fact that could not be read is nullopt.
struct ThreadFacts {
  std::optional<std::string> name;  // UTF-8, as the document writes it
  std::optional<uint64_t> ident;
  std::optional<uint64_t> native_id;
  std::optional<bool> daemon;
};

// ident and native_id as a document writes them: nullopt for anything but a
// non-negative int. A failing read is part of that rule, so its error is
// discarded. GIL held.
std::optional<uint64_t> optional_thread_number(PyObject* thread, PyObject* name);

// A thread object recorded by a weak reference (a strong one when its type
// takes none: a host's current_thread may return any object), with its facts
// as they were when it was identified. Records, maps and held records copy
// it without the GIL; the last copy lets go of the reference, which must
// happen with the GIL held, as for any Ref. The thread's memory (and
// everything it holds) is freed when the program lets go of it, whether or
// not its records are still buffered.
class ThreadRef {
 public:
  ThreadRef() noexcept = default;

  // Records `thread` (borrowed) and reads its facts. GIL held. A fact that
  // cannot be read is left unknown; an exception that belongs to the traced
  // program (a signal handler's, raised while its properties ran) and a
  // MemoryError are thrown (PyErrSet).
  static ThreadRef of(PyObject* thread);

  // The same recording of a thread (copies of one of()).
  friend bool operator==(const ThreadRef& a, const ThreadRef& b) noexcept {
    return a.info_ == b.info_;
  }
  // Non-empty: made by of().
  explicit operator bool() const noexcept { return info_ != nullptr; }
  // Whether `thread` (borrowed, alive) is the recorded object, still alive.
  // GIL held.
  bool is(PyObject* thread) const noexcept { return info_ && info_->target == thread && alive(); }
  // Whether the recorded object is still alive (false when empty). GIL held.
  bool alive() const noexcept;
  // A new reference to the recorded object, or null when it is gone or this
  // is empty. GIL held; sets no error.
  Ref live() const noexcept;
  // Reads the name again from the live object, for the facts to hold the
  // name it had last (a thread renamed itself, then finished). Every copy
  // sees it. Nothing when empty or gone. GIL held; throws PyErrSet as of().
  void note_name() const;
  // The facts read by of() and note_name(). Non-empty only; GIL held.
  const ThreadFacts& facts() const noexcept { return info_->facts; }

 private:
  // Changed (note_name) and read with the GIL held, by any copy.
  struct Info {
    Ref ref;  // a weak reference, or the object itself when !weak
    // Compared only, never dereferenced: the object may be gone.
    const PyObject* target = nullptr;
    bool weak = false;
    ThreadFacts facts;
  };
  std::shared_ptr<Info> info_;
};

}  // namespace vask
