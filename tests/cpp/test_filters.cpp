#include <random>

#include "filters.hpp"
#include "harness.hpp"

namespace vask {
namespace {

TEST(Finder, AgreesWithANaiveSearchOnRandomInputs) {
  std::mt19937 rng(12345);
  // A small alphabet makes partial matches and repeated prefixes frequent.
  auto random_text = [&](size_t max_len) {
    std::string s(rng() % (max_len + 1), 'a');
    for (char& c : s) c = "ab/c"[rng() % 4];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::string needle = random_text(6);
    const std::string hay = random_text(24);
    const Finder f(needle);
    EXPECT_EQ(f.find(hay), hay.find(needle) != std::string::npos) << needle << " in " << hay;
    const size_t from = hay.empty() ? 0 : rng() % hay.size();
    EXPECT_EQ(f.position(hay, from), hay.find(needle, from)) << needle << " in " << hay;
  }
}

TEST(Finder, EdgeCasesAndSurvivesMoves) {
  EXPECT_TRUE(Finder("").find(""));
  EXPECT_TRUE(Finder("").find("x"));
  EXPECT_FALSE(Finder("abc").find("ab"));
  EXPECT_TRUE(Finder("abc").find("abc"));
  const std::string long_needle(300, 'x');
  EXPECT_TRUE(Finder(long_needle).find("y" + long_needle + "y"));
  EXPECT_FALSE(Finder(long_needle).find(std::string(299, 'x') + "y" + long_needle.substr(1)));

  // Short needles live inside the std::string object; a vector growing and a
  // move-assignment must not leave the searcher pointing at old storage.
  std::vector<Finder> finders;
  for (int i = 0; i < 64; ++i) finders.emplace_back("n" + std::to_string(i) + "/");
  Finder moved = std::move(finders[42]);
  finders[0] = std::move(finders[7]);
  EXPECT_TRUE(moved.find("/x/n42/y"));
  EXPECT_TRUE(finders[0].find("/x/n7/y"));
  EXPECT_FALSE(finders[0].find("/x/n0/y"));
  EXPECT_TRUE(Finders(std::move(finders)).any("n63/"));
}

TEST(FixedRules, PackageDirectoriesMakeEveryFileUnderThemInternal) {
  // Ignored: they would make every file internal.
  add_package_dir("");
  add_package_dir("/");
  add_package_dir("//");
  EXPECT_FALSE(vask_filter("/srv/app/utils.py"));
  add_package_dir("/a/vask");
  add_package_dir("/a/vask/");  // the same directory: no second entry
  add_package_dir("/opt/second copy/vask//");
  for (const char* f : {"/a/vask/config.py", "/a/vask/storage/query.py", "/a/vask/cli/run.py",
                        "/a/vask/__init__.py", "/opt/second copy/vask/engines/monitor.py"}) {
    EXPECT_TRUE(vask_filter(f)) << f;
    EXPECT_TRUE(excluded_by_fixed_rules(f)) << f;
  }
  for (const char* f : {"/srv/app/utils.py", "/srv/vask/db.py", "/a/vaskish/db.py", "/a/vask",
                        "/a/vask/", "a/vask/db.py", "/b/a/vask/db.py"}) {
    EXPECT_FALSE(vask_filter(f)) << f;
  }
}

TEST(FixedRules, LibraryFrozenExecutedAndGeneratedNames) {
  EXPECT_TRUE(library_filter("/usr/lib/python3.11/os.py"));
  EXPECT_TRUE(library_filter("/venv/lib64/python3.11/x.py"));
  EXPECT_TRUE(library_filter("/x/site-packages/y.py"));
  EXPECT_FALSE(library_filter("/srv/app/lib/py.py"));
  EXPECT_TRUE(frozen_filter("<frozen importlib._bootstrap>"));
  EXPECT_TRUE(executed_filter("<string>"));
  EXPECT_TRUE(generated_name("<pytest match expression>"));
  EXPECT_FALSE(generated_name("<pytest match expression>x"));
  EXPECT_FALSE(generated_name("<pytest match expression"));
  EXPECT_TRUE(generated_name("<attrs generated init foo.Bar>"));
  EXPECT_FALSE(generated_name("<attrs generate"));
  EXPECT_TRUE(ends_with_attrs_make("/x/attr/_make.py"));
  EXPECT_FALSE(ends_with_attrs_make("attr/_make.pyc"));
  EXPECT_FALSE(ends_with_attrs_make("_make.py"));
}

TEST(LoadFilters, AbsentOrUnsubscriptableIsEmptyWrongTypesRaise) {
  Ref ns = test::run_python(
      "ok = {'include_frames': ['a', 'b'], 'ignore_frames': ('c',)}\n"
      "bad = {'include_frames': 'abc', 'ignore_frames': ['a', 1]}\n");
  Ref ok_ref = test::get(ns, "ok");
  Ref bad_ref = test::get(ns, "bad");
  PyObject* ok = ok_ref.get();
  PyObject* bad = bad_ref.get();
  EXPECT_TRUE(load_filters(nullptr, "include_frames").empty());
  EXPECT_TRUE(load_filters(Py_None, "include_frames").empty());
  Ref five = Ref::steal(PyLong_FromLong(5));
  EXPECT_TRUE(load_filters(five.get(), "include_frames").empty());
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(load_filters(ok, "include_frames").size(), 2u);
  Finders ignore = load_filters(ok, "ignore_frames");
  EXPECT_TRUE(ignore.any("xcx"));
  Ref empty = Ref::steal(PyDict_New());
  EXPECT_TRUE(load_filters(empty.get(), "ignore_frames").empty());

  EXPECT_THROW(load_filters(bad, "include_frames"), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "TypeError");
  EXPECT_THROW(load_filters(bad, "ignore_frames"), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "TypeError");
  EXPECT_THROW(to_str_list(Py_None, "x"), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "TypeError");
}

// Frames of `leaf` under callers compiled with chosen file names, kept alive
// after the calls return (their f_back links stay).
TEST(AttrsFilter, LooksAtTheCallerAndThroughOneUnnamedCaller) {
  Ref ns = test::run_python(
      "import sys\n"
      "def leaf():\n"
      "    return sys._getframe()\n"
      "def make(filename):\n"
      "    ns = {}\n"
      "    exec(compile('def f(g, *a):\\n    return g(*a)\\n', filename, 'exec'), ns)\n"
      "    return ns['f']\n"
      "attrs_f, unnamed_f, user_f = make('/x/attr/_make.py'), make(''), make('/srv/user.py')\n"
      "direct = attrs_f(leaf)\n"
      "through = attrs_f(unnamed_f, leaf)\n"
      "user_unnamed = user_f(unnamed_f, leaf)\n"
      "unnamed_twice = attrs_f(unnamed_f, unnamed_f, leaf)\n"
      "plain = leaf()\n");
  EXPECT_TRUE(attrs_filter(test::get(ns, "direct").get(), "/srv/a.py"));
  EXPECT_TRUE(attrs_filter(test::get(ns, "through").get(), "/srv/a.py"));
  EXPECT_FALSE(attrs_filter(test::get(ns, "user_unnamed").get(), "/srv/a.py"));
  EXPECT_FALSE(attrs_filter(test::get(ns, "unnamed_twice").get(), "/srv/a.py"));
  EXPECT_FALSE(attrs_filter(test::get(ns, "plain").get(), "/srv/a.py"));
  // The generated name itself is handled by generated_name, not the walk.
  EXPECT_FALSE(attrs_filter(test::get(ns, "direct").get(), "<attrs generated init A>"));
  // The callers test as each engine applies it: to every file, or to an
  // unnamed one only (the monitor's verdict on a named file is its name's).
  Finders none;
  PyObject* through = test::get(ns, "through").get();
  EXPECT_FALSE(should_record(through, "/srv/a.py", none, none, CallerRule::EveryFile));
  EXPECT_TRUE(should_record(through, "/srv/a.py", none, none, CallerRule::UnnamedFile));
  EXPECT_FALSE(should_record(through, "", none, none, CallerRule::EveryFile));
  EXPECT_FALSE(should_record(through, "", none, none, CallerRule::UnnamedFile));
  EXPECT_TRUE(should_record(test::get(ns, "plain").get(), "", none, none, CallerRule::UnnamedFile));
  EXPECT_EQ(verdict_by_name("/srv/a.py", none, none, CallerRule::EveryFile),
            NameVerdict::ByCallers);
  EXPECT_EQ(verdict_by_name("/srv/a.py", none, none, CallerRule::UnnamedFile),
            NameVerdict::Recorded);
  EXPECT_EQ(verdict_by_name("", none, none, CallerRule::UnnamedFile), NameVerdict::ByCallers);
  EXPECT_EQ(verdict_by_name("<frozen os>", none, none, CallerRule::EveryFile), NameVerdict::Left);

  const Utf8Text plain_file = frame_filename(test::get(ns, "plain").get());
  EXPECT_EQ(plain_file.text(), "<string>");
  EXPECT_THROW(frame_filename(Py_None), InternalFault);
}

class ShouldRecord : public ::testing::TestWithParam<CallerRule> {};

// Every rule but the callers test decides alike for both engines.
TEST_P(ShouldRecord, CombinedDecision) {
  const CallerRule rule = GetParam();
  auto decide = [rule](PyObject* frame, std::string_view filename, const Finders& include,
                       const Finders& ignore) {
    return should_record(frame, filename, include, ignore, rule);
  };
  Ref ns = test::run_python(
      "import sys\n"
      "frame = sys._getframe()\n"
      "empty = {'include_frames': [''], 'ignore_frames': ['']}\n"
      "rules = {'include_frames': ['site-packages'], 'ignore_frames': ['/skip/']}\n");
  PyObject* frame = test::get(ns, "frame").get();
  Finders none;
  Finders include = load_filters(test::get(ns, "rules").get(), "include_frames");
  Finders ignore = load_filters(test::get(ns, "rules").get(), "ignore_frames");
  EXPECT_TRUE(decide(frame, "/srv/app/utils.py", none, none));
  EXPECT_FALSE(decide(frame, "/x/site-packages/y.py", none, none));
  EXPECT_TRUE(decide(frame, "/x/site-packages/y.py", include, ignore));
  EXPECT_FALSE(decide(frame, "/skip/a.py", include, ignore));
  EXPECT_FALSE(decide(frame, "<frozen os>", none, none));
  EXPECT_FALSE(decide(frame, "<pytest match expression>", none, none));
  EXPECT_TRUE(decide(frame, "<pytest match expression>!", none, none));

  Finders all_in = load_filters(test::get(ns, "empty").get(), "include_frames");
  Finders all_out = load_filters(test::get(ns, "empty").get(), "ignore_frames");
  EXPECT_TRUE(decide(frame, "<string>", all_in, none));
  EXPECT_FALSE(decide(frame, "/srv/app.py", none, all_out));
  EXPECT_FALSE(decide(frame, "/srv/app.py", include, all_out));
}

INSTANTIATE_TEST_SUITE_P(BothEngines, ShouldRecord,
                         ::testing::Values(CallerRule::EveryFile, CallerRule::UnnamedFile));

}  // namespace
}  // namespace vask
