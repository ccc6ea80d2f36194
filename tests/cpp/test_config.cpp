#include <variant>

#include "config.hpp"
#include "harness.hpp"

namespace vask {
namespace {

Config config_of(const char* expr) {
  Ref ns = test::run_python(std::string("import decimal\nd = ") + expr + "\n");
  return Config::from_dict(test::get(ns, "d").get());
}

TEST(Config, KeepsDictOrderAndIgnoresLaterChanges) {
  Ref ns = test::run_python("d = {'b': 1, 'a': 2, 'c': 3}\n");
  Config c = Config::from_dict(test::get(ns, "d").get());
  PyDict_Clear(test::get(ns, "d").get());
  ASSERT_EQ(c.size(), 3u);
  MpMap m = c.to_dict();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].first, "b");
  EXPECT_EQ(m[1].first, "a");
  EXPECT_EQ(m[2].first, "c");
  EXPECT_EQ(c.find("missing"), nullptr);
}

TEST(Config, RefusesNonStrKeysAndNonDicts) {
  Ref ns = test::run_python("d = {'a': 1, 2: 3}\nl = [1]\n");
  EXPECT_THROW(Config::from_dict(test::get(ns, "d").get()), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "TypeError");
  EXPECT_THROW(Config::from_dict(test::get(ns, "l").get()), PyErrSet);
  EXPECT_NE(test::take_error_message().find("PyDict"), std::string::npos);
}

TEST(Config, BoolFormAcceptsOnlyRealBools) {
  Config c = config_of("{'t': True, 'f': False, 'none': None, 'one': 1}");
  EXPECT_TRUE(c.get_bool("t", false));
  EXPECT_FALSE(c.get_bool("f", true));
  EXPECT_TRUE(c.get_bool("absent", true));
  for (const char* key : {"none", "one"}) {
    EXPECT_THROW(c.get_bool(key, false), PyErrSet) << key;
    EXPECT_EQ(test::take_error_type(), "TypeError") << key;
  }
}

TEST(Config, UintFormRangeAndTypes) {
  Config c = config_of(
      "{'zero': 0, 'max': 2**64 - 1, 'neg': -1, 'big': 2**64, 's': '5', 'f': 1.5,"
      " 'idx': type('I', (), {'__index__': lambda self: 7})()}");
  EXPECT_EQ(c.get_uint("absent", 60), 60u);
  EXPECT_EQ(c.get_uint("zero", 60), 0u);
  EXPECT_EQ(c.get_uint("max", 60), UINT64_MAX);
  EXPECT_EQ(c.get_uint("idx", 60), 7u);
  for (auto [key, type] : {std::pair{"neg", "OverflowError"}, std::pair{"big", "OverflowError"},
                           std::pair{"s", "TypeError"}, std::pair{"f", "TypeError"}}) {
    EXPECT_THROW(c.get_uint(key, 60), PyErrSet) << key;
    EXPECT_EQ(test::take_error_type(), type) << key;
  }
}

TEST(Config, ToDictConvertsInOrderAndWarnsOnTheRest) {
  Ref io =
      test::run_python("import sys, io\nbuf = io.StringIO()\nold = sys.stdout\nsys.stdout = buf\n");
  Config c = config_of(
      "{'one': None, 'two': 'text', 'three': True, 'four': 3, 'five': 2.5, 'six': 2**70,"
      " 'filters': {}, 'processors': [], 'auto_emit': True, 'trace_points': {},"
      " 'flush_subtree_mb': 1, 'seven': [1], 'we\"ird\\n': object(),"
      " 'idx': type('I', (), {'__index__': lambda self: -4})(), 'dec': decimal.Decimal('0.25')}");
  MpMap m = c.to_dict();
  PySys_SetObject("stdout", test::get(io, "old").get());
  Ref out = Ref::check(PyObject_CallMethod(test::get(io, "buf").get(), "getvalue", nullptr));

  ASSERT_EQ(m.size(), 8u);
  std::vector<std::string> keys;
  for (auto& [k, v] : m) keys.push_back(k);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"one", "two", "three", "four", "five", "six", "idx", "dec"}));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(m[0].second.v));
  EXPECT_EQ(std::get<std::string>(m[1].second.v), "text");
  EXPECT_EQ(std::get<bool>(m[2].second.v), true);
  EXPECT_EQ(std::get<int64_t>(m[3].second.v), 3);
  EXPECT_EQ(std::get<double>(m[4].second.v), 2.5);
  EXPECT_EQ(std::get<double>(m[5].second.v), 1180591620717411303424.0);
  EXPECT_EQ(std::get<int64_t>(m[6].second.v), -4);
  EXPECT_EQ(std::get<double>(m[7].second.v), 0.25);
  EXPECT_EQ(str_view(out.get()),
            "unsupported config type: \"seven\"\n"
            "unsupported config type: \"we\\\"ird\\n\"\n");
}

}  // namespace
}  // namespace vask
