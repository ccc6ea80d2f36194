// Qualified names of frames and display paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/py.hpp"

namespace vask {

struct CodeFacts;

// module.qualname of a live frame. Uses co_qualname where the code object has
// it (3.11+); otherwise searches the caller's locals, self, cls, the class
// body and the globals. nullopt when nothing is found. Throws PyErrSet only for
// failures reading f_code, co_qualname/co_name and f_globals. `code` (null:
// the frame's own) is the code object whose name is given; the module name
// comes from the frame's globals.
std::optional<std::string> get_qualname(PyObject* frame, PyObject* code = nullptr);

// get_qualname() into `out`; false (out unspecified) for no name. With
// co_qualname the name is kept in the code object's facts while the module's
// __name__ stays the same object, so that the repeat costs one dict lookup.
// `code` is the code object named (null: the frame's own) and `facts` are
// its facts (null: none kept).
bool write_qualname(std::string& out, PyObject* frame, PyObject* code, CodeFacts* facts);

// The fallback search used where co_qualname is missing (always available, so
// it can be tested on every interpreter). Never throws a Python error.
std::optional<std::string> get_qualname_inner(PyObject* frame, PyObject* co_name);

// filename with the working directory stripped by whole path components, then
// ":" and the line. Throws InternalFault "Current directory is invalid" when
// the working directory cannot be read.
std::string format_frame_path(std::string_view filename, uint64_t line);
// format_frame_path() of a code object's file name (`filename`, its text)
// into `out`, the shown name kept in the code object's `facts` (null: none
// kept) for each value of the cached working directory.
void write_frame_path(std::string& out, CodeFacts* facts, std::string_view filename, uint64_t line);

// Caches the working directory from now on, dropping it whenever the program
// changes directory through the os module (an audit hook). Called once, at
// module initialisation; until then the directory is read on every call.
void watch_working_directory();

// The same with an explicit working directory (pure; exposed for tests), and
// the file name part alone.
std::string shown_filename(std::string_view cwd, std::string_view filename);
std::string format_frame_path_in(std::string_view cwd, std::string_view filename, uint64_t line);

}  // namespace vask
