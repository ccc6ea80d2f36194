// Assignment tracking of the monitoring engine: which instructions of a code
// object store into a variable, the store a thread has seen and not yet
// recorded, and the assignment record.
//
// The INSTRUCTION callback runs before its instruction, so a store is noted
// when it is about to run and recorded at the thread's next callback, when
// the value is in place. Every other instruction is switched off, except the
// one right after a store: it is that next callback, so the value is read
// before any other code can change it (a call into code that is not
// recorded, whose own events are switched off, would otherwise run first).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/py.hpp"
#include "utils/records.hpp"

namespace vask {

// Where a store writes its variable, and so where its value is read back.
enum class StoreKind : uint8_t {
  Fast,    // STORE_FAST (and 3.13's STORE_FAST_STORE_FAST, STORE_FAST_LOAD_FAST)
  Deref,   // STORE_DEREF: a cell of the frame
  Global,  // STORE_GLOBAL: the frame's globals
  Name,    // STORE_NAME: the locals mapping of a module or class body
};

// A store instruction that is recorded: one name, or two for
// STORE_FAST_STORE_FAST, which stores its first name first.
struct StoreSite {
  StoreKind kind = StoreKind::Fast;
  Ref first;   // str
  Ref second;  // str, or null
};

// What the monitor knows about one instruction location of a code object.
struct InstructionFacts {
  enum class Kind : uint8_t {
    Store,       // a recorded store (`store`)
    AfterStore,  // the instruction right after one: records it
    Ignored,     // switched off: not a store, or a store of no nameable variable
  };
  Kind kind = Kind::Ignored;
  StoreSite store;
};

// The facts of one code object's instructions by offset, kept in the code
// object's extra slot for as long as it lives. They depend on the code
// object alone (not on the monitor), so they outlive the monitor that found
// them. GIL held for every use.
class CodeInstructions {
 public:
  // The table of `code`, created on first use; null when the interpreter has
  // no extra slot left (nothing is kept then).
  static CodeInstructions* of(PyObject* code);

  const InstructionFacts* find(int64_t offset) const {
    auto it = facts_.find(offset);
    return it == facts_.end() ? nullptr : &it->second;
  }
  // Entries are never removed nor replaced (another thread may hold one
  // while Python code runs), and a node-based map keeps their addresses.
  // What was there first stays: it says the same.
  const InstructionFacts& add(int64_t offset, InstructionFacts facts) {
    return facts_.try_emplace(offset, std::move(facts)).first->second;
  }

 private:
  std::unordered_map<int64_t, InstructionFacts> facts_;
};

// The facts of the instruction at `offset`, as vask.monitoring.get_instruction
// describes it (the one host call of the event); the instruction before it
// (`offset` - 2) is read from the code object when it is not a store itself.
// Throws PyErrSet.
InstructionFacts classify_instruction(PyObject* code, int64_t offset, CodeInstructions* table);

// A store seen before it ran; recorded at the thread's next callback.
struct PendingAssignment {
  Ref frame;  // the frame the store runs in
  StoreSite site;
  std::optional<std::string> frame_id;  // when the thread's frame ids know the frame
  std::string path;
  std::string co_name;
  std::optional<std::string> qualname;
  double timestamp = 0;
};

// The variable's value now, as a new reference; null when the frame no
// longer holds the name (the store raised, so nothing was assigned). Throws
// PyErrSet for other lookup failures.
Ref assigned_value(const PendingAssignment& pending, PyObject* name);

// The value part of a one-entry map {name: value} that a dumper wrote, so
// that the value is written as the frame's locals would show it (a secret
// name's value redacted). Anything else is taken whole (a dumper's marker).
std::string_view dumped_entry_value(std::string_view dumped_map) noexcept;

// Appends the 8-entry assignment record: "path", "co_name", "qualname",
// "event" ("line"), "frame_id" (nil when unknown), "timestamp", "type"
// ("frame") and "assign", the extension 6 holding [name, value] with the
// value as the dumper wrote it.
void write_assignment_record(Bytes& out, const PendingAssignment& pending, std::string_view name,
                             std::string_view value);

}  // namespace vask
