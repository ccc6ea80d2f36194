// Facts about a code object that every event of it would otherwise compute
// again, kept with the code object for as long as it lives and shared by both
// engines: the shown file name, the qualified name, and each engine's verdict.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "support/py.hpp"

namespace vask {

struct CodeFacts {
  // An engine's own verdicts on the code object, encoded by that engine in
  // one word that also carries the engine's serial, so that a word left by
  // another engine (other filters, other plugins) never matches. 0: none.
  uintptr_t engine_word = 0;
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
