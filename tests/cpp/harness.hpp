// Shared helpers of the C++ unit tests: the embedded interpreter and a way to
// run Python source and fetch what it defines.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/py.hpp"

namespace vask::test {

// Runs Python source in a fresh namespace (with builtins) and returns the
// namespace dict. A Python error fails the current test and returns an empty
// Ref.
Ref run_python(const std::string& source);
// namespace[name] as a new reference (an empty Ref if missing).
Ref get(const Ref& ns, const char* name);
// Fails the current test with the pending Python error, if any, and clears it.
void expect_no_python_error();
// The type name of the pending Python error ("" when none), then clears it.
std::string take_error_type();
// The message of the pending Python error ("" when none), then clears it.
std::string take_error_message();

}  // namespace vask::test
