#include "harness.hpp"
#include "plugins.hpp"

namespace vask {
namespace {

// Fake vask.plugins and vask.serialize modules: load_plugin_data returns
// plug.data, and the dumpers remember every record they were given.
class Plugins : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = test::run_python(R"(
import sys, types, collections.abc
saved = {k: sys.modules.get(k) for k in ('vask.plugins', 'vask.serialize')}
ser = types.ModuleType('vask.serialize')
ser.seen = []
def _dump(tag):
    def dump(v):
        ser.seen.append(list(v.items()))
        return tag
    return dump
ser.dump_msgpack = _dump(b'F')
ser.dump_msgpack_lightweight_repr = _dump(b'L')
plug = types.ModuleType('vask.plugins')
plug.data = []
plug.calls = []
def load_plugin_data(config):
    plug.received = config
    return plug.data
plug.load_plugin_data = load_plugin_data
sys.modules['vask.serialize'] = ser
sys.modules['vask.plugins'] = plug
config = {'some': 'setting'}
base = {'co_names': ['f'], 'path_fragment': '/app/', 'call_type': 'c', 'return_type': 'r'}
def remember(frame, event, arg, ctx):
    plug.calls.append((frame, event, arg, ctx))
    return True
def frame():
    return sys._getframe()
def restore():
    for k, v in saved.items():
        if v is None:
            sys.modules.pop(k, None)
        else:
            sys.modules[k] = v
)");
  }
  void TearDown() override { call(get("restore").get()); }

  Ref get(const char* name) { return test::get(ns_, name); }
  void exec(const std::string& src) {
    Ref r = Ref::steal(PyRun_String(src.c_str(), Py_file_input, ns_.get(), ns_.get()));
    if (!r) {
      PyErr_Print();
      FAIL() << src;
    }
  }
  std::string eval(const std::string& expr) {
    Ref r = Ref::check(PyRun_String(expr.c_str(), Py_eval_input, ns_.get(), ns_.get()));
    return to_str(r.get());
  }
  PluginRegistry load(const std::string& data) {
    exec("plug.data = " + data);
    return load_plugins(get("config").get());
  }
  // "Type: message" of a failed load, with " <- CauseType" for a chained cause.
  std::string load_failure(const std::string& data) {
    try {
      load(data);
    } catch (const InternalFault& f) {
      return "fault: " + f.message;
    } catch (const PyErrSet&) {
      Ref exc = fetch_error();
      std::string out = std::string(Py_TYPE(exc.get())->tp_name) + ": " + to_str(exc.get());
      if (Ref cause = Ref::steal(PyException_GetCause(exc.get()))) {
        out += std::string(" <- ") + Py_TYPE(cause.get())->tp_name;
      }
      return out;
    }
    return "no error";
  }
  PluginProcessor& only(PluginRegistry& r, const char* name) {
    auto& list = r.at(name);
    EXPECT_EQ(list.size(), 1u);
    return *list.front();
  }

  Ref ns_;
};

TEST_F(Plugins, HostContractBreachesKeepTheHostError) {
  exec("del plug.load_plugin_data");
  EXPECT_EQ(load_failure("[]"), "SystemError: load_plugin_data should exist <- AttributeError");
  exec("plug.load_plugin_data = lambda c: 1 / 0");
  EXPECT_EQ(load_failure("[]"),
            "SystemError: load_plugin_data should be callable <- ZeroDivisionError");
  exec("plug.load_plugin_data = lambda c: ()");
  EXPECT_EQ(load_failure("[]"), "fault: load_plugin_data should return a list");
  exec("sys.modules['vask.plugins'] = None");
  EXPECT_EQ(load_failure("[]"),
            "SystemError: vask.plugins should always be importable <- ModuleNotFoundError");
}

TEST_F(Plugins, DescriptionErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"[1]", "TypeError: 'int' object cannot be converted to 'PyDict'"},
      {"[{}]", "KeyError: 'co_names'"},
      {"[dict(base, build_context=lambda c: [])]",
       "TypeError: 'list' object cannot be converted to 'PyDict'"},
      {"[dict(base, build_context=lambda c: 1 / 0)]", "ZeroDivisionError: division by zero"},
      {"[{'co_names': ['f']}]", "KeyError: 'path_fragment'"},
      {"[dict(base, return_type=None)]",
       "TypeError: 'NoneType' object cannot be converted to 'PyString'"},
      {"[dict(base, subtype=None)]",
       "TypeError: 'NoneType' object cannot be converted to 'PyString'"},
      {"[dict(base, events='call')]",
       "TypeError: events must be a sequence of str, not a single str"},
      {"[dict(base, events=['call', 1])]",
       "TypeError: 'int' object cannot be converted to 'PyString'"},
      {"[dict(base, co_names=[1])]", "TypeError: 'int' object cannot be converted to 'PyString'"},
      {"[dict(base, co_names=(1 / 0 for _ in 'x'))]", "ZeroDivisionError: division by zero"},
  };
  for (auto [data, expected] : cases) EXPECT_EQ(load_failure(data), expected) << data;
  // Required keys are read per name: with no names, nothing is required.
  EXPECT_TRUE(load("[{'co_names': []}]").empty());
}

TEST_F(Plugins, RegistryDefaultsAndSharedContext) {
  EXPECT_TRUE(load("[]").empty());
  EXPECT_EQ(eval("plug.received is config"), "True");

  PluginRegistry r = load(
      "[dict(base, co_names=['f', 'g'], build_context=lambda c: {'cfg': c}, events=None,"
      " call=None, process=None), dict(base, co_names=['f'], unwind_type='u', resume_type='s',"
      " yield_type='y', subtype='sub')]");
  ASSERT_EQ(r.size(), 2u);
  ASSERT_EQ(r.at("f").size(), 2u);
  PluginProcessor& f = *r.at("f")[0];
  PluginProcessor& g = only(r, "g");
  EXPECT_NE(&f, &g);
  EXPECT_EQ(f.description().context.get(), g.description().context.get());
  EXPECT_EQ(to_str(f.description().context.get()), "{'cfg': {'some': 'setting'}}");
  EXPECT_FALSE(f.description().events || f.description().call || f.description().process ||
               f.description().subtype);
  std::string types;
  for (int e = 0; e < 6; ++e) types += f.type_for(static_cast<FrameEvent>(e));
  EXPECT_EQ(types, "crrcrr");

  PluginProcessor& second = *r.at("f")[1];
  types.clear();
  for (int e = 0; e < 6; ++e) types += second.type_for(static_cast<FrameEvent>(e));
  EXPECT_EQ(types, "crusyu");
  EXPECT_EQ(second.description().subtype, "sub");
  EXPECT_NE(second.description().context.get(), f.description().context.get());
}

TEST_F(Plugins, MatchesFrameByFragmentThenCallback) {
  PluginRegistry r = load("[dict(base, call=remember), dict(base, co_names=['g'])]");
  PluginProcessor& f = only(r, "f");
  Ref frame = call(get("frame").get());
  Ref arg = make_str("value");
  EXPECT_FALSE(f.matches_frame(frame.get(), FrameEvent::Call, nullptr, "/srv/x.py"));
  EXPECT_FALSE(f.matches_frame(frame.get(), FrameEvent::Call, nullptr, "/app"));
  EXPECT_EQ(eval("len(plug.calls)"), "0");
  EXPECT_TRUE(f.matches_frame(frame.get(), FrameEvent::Return, arg.get(), "/srv/app/x.py"));
  EXPECT_EQ(eval("[(type(c[0]).__name__, c[1], c[2], c[3] is c[3]) for c in plug.calls]"),
            "[('frame', 'return', 'value', True)]");
  EXPECT_TRUE(only(r, "g").matches_frame(frame.get(), FrameEvent::Call, nullptr, "/app/"));

  for (const char* bad : {"lambda *a: 1", "lambda *a: 1 / 0"}) {
    PluginRegistry r2 = load(std::string("[dict(base, call=") + bad + ")]");
    EXPECT_THROW(only(r2, "f").matches_frame(frame.get(), FrameEvent::Call, nullptr, "/app/"),
                 PyErrSet);
    EXPECT_NE(test::take_error_type(), "");
  }
}

TEST_F(Plugins, ProcessBuildsTheRecordAndRemembersFrameIds) {
  PluginRegistry r = load("[dict(base, subtype='sub', process=lambda f, e, a, c: {'extra': e})]");
  PluginProcessor& p = only(r, "f");
  Ref a = call(get("frame").get());
  Ref b = call(get("frame").get());

  auto rec = p.process(a.get(), FrameEvent::Call, nullptr, {}, false);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->type, "c");
  EXPECT_EQ(rec->record, "F");
  EXPECT_EQ(eval("[k for k, _ in ser.seen[-1]]"),
            "['frame_id', 'timestamp', 'user_code_call_site', 'type', 'subtype', 'extra']");
  EXPECT_EQ(eval("[type(v).__name__ for _, v in ser.seen[-1]]"),
            "['str', 'float', 'NoneType', 'str', 'str', 'str']");
  const std::string call_id = eval("ser.seen[-1][0][1]");
  EXPECT_EQ(call_id.substr(0, 4), "frm_");
  EXPECT_EQ(call_id.size(), 30u);

  // The return finds the id of its call; lightweight selects the other dumper.
  rec = p.process(a.get(), FrameEvent::Return, nullptr, {}, true);
  EXPECT_EQ(rec->type, "r");
  EXPECT_EQ(rec->record, "L");
  EXPECT_EQ(eval("ser.seen[-1][0][1]"), call_id);
  EXPECT_EQ(eval("ser.seen[-1][-1][1]"), "return");

  // A frame never seen opening gets a fresh id each time; none is stored.
  p.process(b.get(), FrameEvent::Unwind, nullptr, {}, false);
  const std::string first = eval("ser.seen[-1][0][1]");
  p.process(b.get(), FrameEvent::Yield, nullptr, {}, false);
  EXPECT_NE(eval("ser.seen[-1][0][1]"), first);
  EXPECT_NE(first, call_id);

  // The call site comes from the handed-over stack.
  std::vector<CallFrameEntry> stack;
  stack.push_back(CallFrameEntry{b.copy(), FrameId("frm_parent")});
  p.process(a.get(), FrameEvent::Resume, nullptr, std::move(stack), false);
  PyDict_SetItemString(ns_.get(), "b", b.get());
  EXPECT_EQ(
      eval("ser.seen[-1][2][1] == {'call_frame_id': 'frm_parent', 'line_number': b.f_lineno}"),
      "True");
  EXPECT_EQ(eval("list(ser.seen[-1][2][1])"), "['call_frame_id', 'line_number']");
  EXPECT_EQ(eval("ser.seen[-1][3][1]"), "c");  // resume takes the call type
}

TEST_F(Plugins, EventsFilterAndProcessResults) {
  exec(R"(
class M(collections.abc.Mapping):
    def __init__(self, d): self.d = d
    def __getitem__(self, k): return self.d[k]
    def __iter__(self): return iter(self.d)
    def __len__(self): return len(self.d)
class Weird:
    @property
    def __class__(self): raise RuntimeError('no class')
unraisable = []
sys.unraisablehook = unraisable.append
)");
  Ref frame = call(get("frame").get());
  PluginRegistry only_calls = load("[dict(base, events=['call'])]");
  EXPECT_FALSE(only(only_calls, "f").process(frame.get(), FrameEvent::Return, nullptr, {}, false));
  EXPECT_TRUE(only(only_calls, "f").process(frame.get(), FrameEvent::Call, nullptr, {}, false));

  auto run = [&](const std::string& result) {
    PluginRegistry r = load("[dict(base, process=lambda *a: " + result + ")]");
    return only(r, "f").process(frame.get(), FrameEvent::Call, nullptr, {}, false);
  };
  EXPECT_EQ(run("{'type': 'custom'}")->type, "custom");
  EXPECT_EQ(run("M({'type': 'mapped', 'k': 1})")->type, "mapped");
  EXPECT_EQ(eval("ser.seen[-1][-1]"), "('k', 1)");

  const std::pair<const char*, const char*> failures[] = {
      {"[]", "'list' object cannot be converted to 'Mapping'"},
      {"Weird()", "'Weird' object cannot be converted to 'Mapping'"},
      {"{'type': 5}", "'int' object cannot be converted to 'PyString'"},
      {"1 / 0", "division by zero"},
  };
  for (auto [result, message] : failures) {
    EXPECT_THROW(run(result), PyErrSet) << result;
    EXPECT_EQ(test::take_error_message(), message) << result;
  }
  EXPECT_EQ(eval("[type(u.exc_value).__name__ for u in unraisable]"), "['RuntimeError']");
  exec("sys.unraisablehook = sys.__unraisablehook__");
}

}  // namespace
}  // namespace vask
