#include <cstring>
#include <msgpack.hpp>
#include <string>

#include "core/serializer.hpp"
#include "harness.hpp"
#include "utils/msgpack_write.hpp"
#include "utils/names.hpp"
#include "utils/serialize.hpp"

namespace vask {
namespace {

// Dumpers with known output: None -> nil, ints -> themselves (small), dicts ->
// {"n": len}, anything else -> "?". Every value passed is kept in `seen`.
constexpr const char* kDumpers = R"(
seen = []
def _dump(v, tag):
    seen.append((tag, v))
    if v is None:
        return b'\xc0'
    if isinstance(v, int):
        return bytes([v])
    if isinstance(v, dict):
        return b'\x81\xa1n' + bytes([len(v)])
    return b'\xa1?'
def full(v):
    return _dump(v, 'full')
def light(v):
    return _dump(v, 'light')
)";

struct Fixture {
  Ref ns;
  Serializer serializer;
};

Fixture make(const std::string& extra = "") {
  Ref ns = test::run_python(std::string(kDumpers) + extra);
  Serializer s(test::get(ns, "full"), test::get(ns, "light"));
  return {std::move(ns), std::move(s)};
}

std::string fixstr(std::string_view s) {
  return std::string(1, static_cast<char>(0xa0 | s.size())) + std::string(s);
}

msgpack::object_handle decode(const Bytes& record) {
  return msgpack::unpack(record.data(), record.size());
}
const msgpack::object* field(const msgpack::object& map, std::string_view key) {
  for (uint32_t i = 0; i < map.via.map.size; ++i) {
    const auto& k = map.via.map.ptr[i].key;
    if (std::string_view(k.via.str.ptr, k.via.str.size) == key) return &map.via.map.ptr[i].val;
  }
  return nullptr;
}

TEST(FrameRecord, IsExactlyTheTenEntriesInOrder) {
  Fixture fx = make(R"(
import sys
def target(a):
    return sys._getframe()
frame = target(5)
line = frame.f_lineno
)");
  PyObject* frame = test::get(fx.ns, "frame").get();
  const long line = PyLong_AsLong(test::get(fx.ns, "line").get());
  std::optional<std::string> qualname = get_qualname(frame);

  Bytes buffer = "prior";
  Ref arg = Ref::check(PyLong_FromLong(42));
  const double before = timestamp();
  write_frame_with_serializer(buffer, frame, fx.serializer, CallSite{FrameId("frm_A"), 10},
                              ArgKind::Argument, arg.get(), FrameEvent::Return, "target", "frm_B",
                              false, false);
  const double after = timestamp();

  std::string expected = "prior\x8a";
  expected += fixstr("path") + fixstr(format_frame_path("<string>", static_cast<uint64_t>(line)));
  expected += fixstr("co_name") + fixstr("target");
  expected += fixstr("qualname") + (qualname ? fixstr(*qualname) : std::string("\xc0"));
  expected += fixstr("event") + fixstr("return");
  expected += fixstr("frame_id") + fixstr("frm_B");
  expected += fixstr("arg") + "\x2a";
  expected += fixstr("locals") + "\x81\xa1n\x01";  // {"a": 5}
  const size_t ts_at = expected.size() + 11;       // after a9 "timestamp" cb
  expected += fixstr("timestamp") + "\xcb" + std::string(8, '\0');
  expected += fixstr("type") + fixstr("frame");
  expected += fixstr("user_code_call_site") + "\x82" + fixstr("call_frame_id") + fixstr("frm_A") +
              fixstr("line_number") + "\x0a";
  ASSERT_EQ(buffer.size(), expected.size());
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<unsigned char>(buffer[ts_at + i]);
  double ts;
  std::memcpy(&ts, &bits, sizeof ts);
  EXPECT_GE(ts, before);
  EXPECT_LE(ts, after);
  buffer.replace(ts_at, 8, std::string(8, '\0'));
  EXPECT_EQ(buffer, expected);
}

TEST(FrameRecord, ArgumentKindChoosesKeyAndValueAndCallSiteMayBeNil) {
  Fixture fx = make("import sys\nframe = sys._getframe()\n");
  PyObject* frame = test::get(fx.ns, "frame").get();
  Ref seven = Ref::check(PyLong_FromLong(7));
  struct Case {
    ArgKind kind;
    FrameEvent event;
    const char* key;
    uint64_t value;  // 0 stands for nil
  } cases[] = {{ArgKind::None, FrameEvent::Call, "arg", 0},
               {ArgKind::Argument, FrameEvent::Yield, "arg", 7},
               {ArgKind::Exception, FrameEvent::Unwind, "exception", 7},
               {static_cast<ArgKind>(5), FrameEvent::Throw, "exception", 7}};
  for (const Case& c : cases) {
    Bytes buffer;
    write_frame_with_serializer(buffer, frame, fx.serializer, std::nullopt, c.kind, seven.get(),
                                c.event, "<module>", "frm_X", false, false);
    auto handle = decode(buffer);
    const msgpack::object& map = handle.get();
    ASSERT_EQ(map.via.map.size, 10u);
    EXPECT_EQ(
        std::string_view(map.via.map.ptr[5].key.via.str.ptr, map.via.map.ptr[5].key.via.str.size),
        c.key);
    const msgpack::object& value = map.via.map.ptr[5].val;
    if (c.value == 0) {
      EXPECT_TRUE(value.is_nil());
    } else {
      EXPECT_EQ(value.via.u64, c.value);
    }
    EXPECT_EQ(field(map, "event")->as<std::string>(), event_name(c.event));
    EXPECT_TRUE(field(map, "user_code_call_site")->is_nil());
  }
  // Lines in the shortest signed form.
  Bytes buffer;
  write_frame_with_serializer(buffer, frame, fx.serializer, CallSite{FrameId("frm_A"), -70000},
                              ArgKind::None, nullptr, FrameEvent::Call, "f", "frm_X", false, false);
  EXPECT_NE(buffer.find(fixstr("line_number") + "\xd2\xff\xfe\xee\x90"), std::string::npos);
}

TEST(FrameRecord, ModuleFrameLocalsDropBuiltinsWithoutTouchingTheGlobals) {
  Fixture fx = make("import sys\nframe = sys._getframe()\nx = 1\n");
  PyObject* frame = test::get(fx.ns, "frame").get();
  Ref locals = get_locals(frame);
  EXPECT_TRUE(PyDict_Check(locals.get()));
  EXPECT_EQ(PyDict_GetItemString(locals.get(), "__builtins__"), nullptr);
  EXPECT_NE(PyDict_GetItemString(locals.get(), "x"), nullptr);
  EXPECT_NE(PyDict_GetItemString(fx.ns.get(), "__builtins__"), nullptr);
  EXPECT_NE(locals.get(), fx.ns.get());

  Bytes buffer;
  write_frame_with_serializer(buffer, frame, fx.serializer, std::nullopt, ArgKind::None, nullptr,
                              FrameEvent::Call, "<module>", "frm_X", true, false);
  EXPECT_NE(PyDict_GetItemString(fx.ns.get(), "__builtins__"), nullptr);
  // Both values went through the lightweight dumper, the locals without
  // __builtins__.
  Ref check = test::run_python(R"(
def check(seen):
    assert [t for t, _ in seen] == ['light', 'light'], seen
    assert seen[0][1] is None
    assert '__builtins__' not in seen[1][1] and 'x' in seen[1][1]
)");
  Ref ok = Ref::steal(
      PyObject_CallOneArg(test::get(check, "check").get(), test::get(fx.ns, "seen").get()));
  EXPECT_TRUE(ok) << test::take_error_message();
}

// A class body whose namespace refuses to be listed: any read of the frame's
// locals fails, so a successful record proves they were not read.
constexpr const char* kRefusingLocals = R"(
import sys
class Loc:
    def __init__(self): self.d = {}
    def __getitem__(self, k): return self.d[k]
    def __setitem__(self, k, v): self.d[k] = v
    def __delitem__(self, k): del self.d[k]
    def keys(self): raise RuntimeError('locals read')
class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases): return Loc()
    def __new__(mcs, name, bases, ns): return super().__new__(mcs, name, bases, dict(ns.d))
class C(metaclass=Meta):
    frame = sys._getframe()
frame = C.frame
)";

TEST(FrameRecord, OmitReturnLocalsNeverReadsThemAndFailuresLeaveTheBufferAlone) {
  Fixture fx = make(kRefusingLocals);
  PyObject* frame = test::get(fx.ns, "frame").get();
  const Bytes prior = "\x01\x02prior";
  auto write = [&](FrameEvent event, bool omit) {
    Bytes buffer = prior;
    write_frame_with_serializer(buffer, frame, fx.serializer, std::nullopt, ArgKind::None, nullptr,
                                event, "C", "frm_X", false, omit);
    return buffer;
  };
  Bytes ok = write(FrameEvent::Return, true);
  auto handle = decode(ok.substr(prior.size()));
  EXPECT_TRUE(field(handle.get(), "locals")->is_nil());

  for (auto [event, omit] :
       {std::pair{FrameEvent::Return, false}, std::pair{FrameEvent::Yield, true}}) {
    Bytes buffer = prior;
    EXPECT_THROW(
        write_frame_with_serializer(buffer, frame, fx.serializer, std::nullopt, ArgKind::None,
                                    nullptr, event, "C", "frm_X", false, omit),
        PyErrSet);
    EXPECT_EQ(test::take_error_message(), "locals read");
    EXPECT_EQ(buffer, prior);
  }
}

TEST(Serializer, RejectsRaisingAndMalformedDumperResults) {
  Ref ns = test::run_python(R"(
def raises(v): raise ValueError('no dump')
def text(v): return '\xc0'
def mutable(v): return bytearray(b'\xc0')
def empty(v): return b''
def two(v): return b'\xc0\xc0'
def short(v): return b'\x92\xc0'
import sys
frame = sys._getframe()
)");
  PyObject* frame = test::get(ns, "frame").get();
  struct Case {
    const char* dumper;
    const char* error;
  } cases[] = {{"raises", "ValueError"}, {"text", "TypeError"}, {"mutable", "TypeError"},
               {"empty", "ValueError"},  {"two", "ValueError"}, {"short", "ValueError"}};
  for (const Case& c : cases) {
    Serializer s(test::get(ns, c.dumper), test::get(ns, c.dumper));
    EXPECT_THROW(s.dump_msgpack(Py_None, false), PyErrSet) << c.dumper;
    EXPECT_EQ(test::take_error_type(), c.error) << c.dumper;
    Bytes buffer = "kept";
    EXPECT_THROW(write_frame_with_serializer(buffer, frame, s, std::nullopt, ArgKind::None, nullptr,
                                             FrameEvent::Call, "f", "frm_X", false, false),
                 PyErrSet);
    EXPECT_EQ(test::take_error_type(), c.error) << c.dumper;
    EXPECT_EQ(buffer, "kept");
  }
}

TEST(Serializer, CreateReadsBothDumpersFromVaskSerialize) {
  Ref ns = test::run_python(R"(
import sys, types
saved = sys.modules.get('vask.serialize')
fake = types.ModuleType('vask.serialize')
fake.dump_msgpack = lambda v: b'\xa4full'
fake.dump_msgpack_lightweight_repr = lambda v: b'\xa5light'
sys.modules['vask.serialize'] = fake
def restore():
    if saved is None:
        sys.modules.pop('vask.serialize', None)
    else:
        sys.modules['vask.serialize'] = saved
)");
  Ref restore = test::get(ns, "restore");
  {
    Serializer s = Serializer::create();
    EXPECT_EQ(s.dump_msgpack(Py_None, false),
              "\xa4"
              "full");
    EXPECT_EQ(s.dump_msgpack(Py_None, true), "\xa5light");
  }
  test::run_python("import sys\ndel sys.modules['vask.serialize'].dump_msgpack_lightweight_repr\n");
  EXPECT_THROW(Serializer::create(), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "AttributeError");
  Ref done = Ref::steal(PyObject_CallNoArgs(restore.get()));
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace vask
