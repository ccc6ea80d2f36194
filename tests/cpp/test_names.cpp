#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "harness.hpp"
#include "utils/names.hpp"

namespace vask {
namespace {

// Real frames captured by sys._getframe() in a module named "testmod".
constexpr const char* kFrames = R"(
import sys, types
frames = {}
def grab(key):
    frames[key] = sys._getframe(1)

class C:
    def m(self):
        grab("method")
    @property
    def p(self):
        grab("property")
        return 1
    @classmethod
    def k(cls):
        grab("classmethod")
    @staticmethod
    def s():
        grab("static")

class D:
    grab("class_body")

def g():
    grab("global_function")

def outer():
    def inner():
        grab("nested")
    inner()

def run():
    c = C()
    c.m()
    c.p
    C.k()
    g()
    outer()
run()
grab("module")

anon_ns = {"grab": grab}
exec("def h():\n    grab('no_module_name')\nh()\n", anon_ns)

top = sys._getframe()
)";

class Names : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ns_ = test::run_python(kFrames).release(); }
  // Leaked on purpose: the interpreter outlives the suite.
  static PyObject* ns_;

  static PyObject* frame(const char* key) {
    Ref frames = test::get(Ref::incref(ns_), "frames");
    PyObject* f = PyDict_GetItemString(frames.get(), key);
    EXPECT_NE(f, nullptr) << key;
    return f;
  }
  static std::optional<std::string> inner(PyObject* f) {
    Ref code = Ref::check(PyObject_GetAttrString(f, "f_code"));
    Ref name = Ref::check(PyObject_GetAttrString(code.get(), "co_name"));
    return get_qualname_inner(f, name.get());
  }
};
PyObject* Names::ns_ = nullptr;

TEST_F(Names, QualnameOfRealFrames) {
  EXPECT_EQ(get_qualname(frame("method")), "testmod.C.m");
  EXPECT_EQ(get_qualname(frame("property")), "testmod.C.p");
  EXPECT_EQ(get_qualname(frame("classmethod")), "testmod.C.k");
  EXPECT_EQ(get_qualname(frame("nested")), "testmod.outer.<locals>.inner");
  EXPECT_EQ(get_qualname(frame("global_function")), "testmod.g");
  EXPECT_EQ(get_qualname(frame("class_body")), "testmod.D");
  EXPECT_EQ(get_qualname(frame("module")), "testmod.<module>");
#if PY_VERSION_HEX >= 0x030B0000
  EXPECT_EQ(get_qualname(frame("no_module_name")), "<unknown>.h");
#else
  // Without co_qualname the search finds h in its caller's namespace.
  EXPECT_EQ(get_qualname(frame("no_module_name")), "None.h");
#endif
  test::expect_no_python_error();
}

// The search used without co_qualname, exercised on every interpreter.
TEST_F(Names, InnerSearchFindsEachKindOfFunction) {
  EXPECT_EQ(inner(frame("method")), "testmod.C.m");                   // through self
  EXPECT_EQ(inner(frame("property")), "testmod.C.p");                 // property fget
  EXPECT_EQ(inner(frame("classmethod")), "testmod.C.k");              // through cls
  EXPECT_EQ(inner(frame("class_body")), "testmod.D");                 // __qualname__
  EXPECT_EQ(inner(frame("global_function")), "testmod.g");            // globals
  EXPECT_EQ(inner(frame("nested")), "testmod.outer.<locals>.inner");  // caller's locals
  // Found in the caller's namespace, which has no __name__: the function's
  // own __module__ is None.
  EXPECT_EQ(inner(frame("no_module_name")), "None.h");
  Ref top = test::get(Ref::incref(ns_), "top");
  EXPECT_EQ(inner(top.get()), std::nullopt);  // no caller
  test::expect_no_python_error();
}

// Stand-in frames built from plain objects, to reach every branch.
TEST(NamesFake, InnerSearchRulesOnMappingsAndErrors) {
  Ref ns = test::run_python(R"(
from types import SimpleNamespace as NS
import collections
class Weird:
    def __getitem__(self, key): raise RuntimeError("broken mapping")
obj = NS(__module__=7, __qualname__=8)
class HasSelf:
    pass
caller = NS(f_locals={})
qualname_body = NS(f_back=caller, f_locals=collections.UserDict({"__qualname__": 42}),
                   f_globals={"__name__": 5})
caller_has_it = NS(f_back=NS(f_locals={"fn": obj}), f_locals={}, f_globals={})
broken_caller = NS(f_back=NS(f_locals=Weird()), f_locals={}, f_globals={"fn": obj})
missing_attr = NS(f_back=caller, f_locals={"self": HasSelf()}, f_globals={"fn": obj})
cls_not_class = NS(f_back=caller, f_locals={"cls": 3}, f_globals={"fn": obj})
nothing = NS(f_back=caller, f_locals={}, f_globals={})
no_back_attr = NS(f_locals={}, f_globals={})
)");
  Ref fn = make_str("fn");
  auto search = [&](const char* key) {
    return get_qualname_inner(test::get(ns, key).get(), fn.get());
  };
  EXPECT_EQ(search("qualname_body"), "5.42");  // any mapping; values through str()
  EXPECT_EQ(search("caller_has_it"), "7.8");
  EXPECT_EQ(search("broken_caller"), std::nullopt);  // not a KeyError: stop
  EXPECT_EQ(search("missing_attr"), std::nullopt);   // getattr_static raised
  EXPECT_EQ(search("cls_not_class"), "7.8");         // goes on to the globals
  EXPECT_EQ(search("nothing"), std::nullopt);
  EXPECT_EQ(search("no_back_attr"), std::nullopt);
  test::expect_no_python_error();
}

TEST(NamesFake, QualnameReadErrorsReachTheCaller) {
  Ref ns = test::run_python(R"(
from types import SimpleNamespace as NS
class RaisingCode:
    co_name = "f"
    @property
    def co_qualname(self): raise ValueError("bad code")
class RaisingFrame:
    f_code = NS(co_qualname="Q")
    @property
    def f_globals(self): raise LookupError("no globals")
with_qualname = NS(f_code=NS(co_qualname="A.b"), f_globals={"__name__": "pkg.mod"})
without_qualname_module = NS(f_code=NS(co_name="<module>"), f_globals={"__name__": "pkg"})
without_qualname = NS(f_code=NS(co_name="fn"), f_back=None)
no_code = NS()
bad_code = NS(f_code=RaisingCode())
bad_name = NS(f_code=NS(co_name=3))
bad_globals = RaisingFrame()
)");
  auto qualname = [&](const char* key) { return get_qualname(test::get(ns, key).get()); };
  EXPECT_EQ(qualname("with_qualname"), "pkg.mod.A.b");
  EXPECT_EQ(qualname("without_qualname_module"), "pkg.<module>");
  EXPECT_EQ(qualname("without_qualname"), std::nullopt);

  EXPECT_THROW(qualname("no_code"), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "AttributeError");
  EXPECT_THROW(qualname("bad_code"), PyErrSet);
  EXPECT_EQ(test::take_error_message(), "bad code");
  EXPECT_THROW(qualname("bad_name"), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "TypeError");
  EXPECT_THROW(qualname("bad_globals"), PyErrSet);
  EXPECT_EQ(test::take_error_message(), "no globals");
}

TEST(FramePath, StripsTheWorkingDirectoryByWholeComponents) {
  EXPECT_EQ(format_frame_path_in("/srv/app", "/srv/app/x.py", 3), "x.py:3");
  EXPECT_EQ(format_frame_path_in("/srv/app", "/srv/app/pkg/mod.py", 12), "pkg/mod.py:12");
  EXPECT_EQ(format_frame_path_in("/srv/app", "/srv/application/x.py", 1),
            "/srv/application/x.py:1");
  EXPECT_EQ(format_frame_path_in("/srv/app/", "/srv/app//x.py", 1), "x.py:1");
  EXPECT_EQ(format_frame_path_in("/srv/app", "/srv/app", 5), ":5");
  EXPECT_EQ(format_frame_path_in("/srv/app", "/srv", 5), "/srv:5");
  EXPECT_EQ(format_frame_path_in("/", "/usr/x.py", 2), "usr/x.py:2");
  EXPECT_EQ(format_frame_path_in("/srv/app", "/usr/lib/python3/json/x.py", 7),
            "/usr/lib/python3/json/x.py:7");
  EXPECT_EQ(format_frame_path_in("/srv/app", "<string>", 0), "<string>:0");
  EXPECT_EQ(format_frame_path_in("/srv/app", "srv/app/x.py", 1), "srv/app/x.py:1");
  EXPECT_EQ(format_frame_path_in("/a", "/a/b", UINT64_MAX), "b:18446744073709551615");
}

TEST(FramePath, InvalidUtf8IsReplaced) {
  EXPECT_EQ(format_frame_path_in("/srv", "/srv/caf\xc3\xa9.py", 1), "caf\xc3\xa9.py:1");
  EXPECT_EQ(format_frame_path_in("/srv",
                                 "/srv/a\xff"
                                 "b.py",
                                 1),
            "a\xef\xbf\xbd"
            "b.py:1");
  // A truncated sequence is one replacement; a surrogate encoding is invalid.
  EXPECT_EQ(format_frame_path_in("/x", "/y/\xe2\x82", 1), "/y/\xef\xbf\xbd:1");
  EXPECT_EQ(format_frame_path_in("/x", "\xed\xa0\x80", 1),
            "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd:1");
  // Non-UTF-8 bytes in the working directory still strip byte for byte.
  EXPECT_EQ(format_frame_path_in("/d\xfe", "/d\xfe/x.py", 4), "x.py:4");
}

TEST(FramePath, UsesTheCurrentDirectoryAndFailsWhenItIsGone) {
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(format_frame_path(cwd + "/sub/x.py", 9), "sub/x.py:9");

  char tmpl[] = "/tmp/vask-names-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  ASSERT_EQ(chdir(tmpl), 0);
  ASSERT_EQ(rmdir(tmpl), 0);
  try {
    format_frame_path("/x.py", 1);
    ADD_FAILURE() << "expected a fault";
  } catch (const InternalFault& f) {
    EXPECT_EQ(f.message, "Current directory is invalid");
  }
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

}  // namespace
}  // namespace vask
