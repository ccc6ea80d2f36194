// Facts about a code object that every event of it would otherwise compute
// again, kept with the code object for as long as it lives and shared by both
// engines: the shown file name, the qualified name, the line numbers and the
// verdict of the engine that saw it last.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "support/py.hpp"

namespace vask {

// What a code object's file name decides on its own (filters.hpp).
enum class NameVerdict : uint8_t {
  Recorded,   // an include rule matches, or no rule can leave it out
  Left,       // a fixed, generated-name or ignore rule leaves it out
  ByCallers,  // recorded unless its callers make it generated code
};

// An engine's verdict on a code object: what holds for every event of it.
struct CodeVerdict {
  NameVerdict recorded = NameVerdict::ByCallers;
  // Some plugin watches this function name in this file: its answers can
  // change from event to event.
  bool watched = false;
  // co_name is a trace-point target.
  bool target = false;
  // The file is attrs' class-generation module.
  bool attrs_make = false;
};

struct CodeFacts {
  // The verdict of the engine whose serial is `verdict_owner` (0: none): a
  // verdict left by another engine (other filters, other plugins) is never
  // taken for this one's.
  uint64_t verdict_owner = 0;
  CodeVerdict verdict;
  // co_filename as the frame record shows it, without ":line": valid while
  // the working directory has generation `path_generation` (0: not computed).
  uint64_t path_generation = 0;
  std::string shown_path;
  // The record's "qualname", valid while the frames' globals["__name__"] is
  // the object `module_name` (owned, so its address cannot be reused).
  Ref module_name;
  std::string qualname;
  // Line numbers by instruction offset, direct-mapped: a frame's line is a
  // function of its code object and offset alone (the code's line table).
  struct LineEntry {
    int offset = -1;  // -1: empty
    int line = 0;
  };
  std::array<LineEntry, 16> lines;
  // Whether the code object's variable names are distinct exact str, so that
  // its frame's variables can stand for a dict of them: -1 not yet known.
  int8_t distinct_names = -1;
};

// The facts of `code`, created empty on first use and freed with the code
// object. Null when they cannot be kept (the interpreter has no extra slot
// left, or no memory): the caller computes afresh. Runs no Python code and
// leaves no error set. GIL held; the result is valid until Python code runs
// (which may free the code object), so take what is needed first.
CodeFacts* code_facts(PyCodeObject* code) noexcept;

// PyFrame_GetLineNumber(frame), the line found for each instruction offset
// kept in the code object's facts. A frame whose line a trace function may
// have set (f_lineno, while tracing) is asked directly. GIL held.
int frame_line(PyFrameObject* frame) noexcept;
// frame_line() with the facts of the frame's code object already at hand
// (null: none kept).
int frame_line(PyFrameObject* frame, CodeFacts* facts) noexcept;

}  // namespace vask
