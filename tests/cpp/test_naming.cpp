#include <string>
#include <utility>
#include <vector>

#include "harness.hpp"
#include "utils/msgpack_write.hpp"
#include "utils/naming.hpp"

namespace vask {
namespace {

Bytes rec(MpMap fields) {
  Bytes out;
  write_value(out, MpValue{std::move(fields)});
  return out;
}
MpValue s(const char* text) { return MpValue{std::string(text)}; }
Bytes frame() { return rec({{"type", s("frame")}, {"co_name", s("f")}}); }
Bytes start_test(MpMap extra) {
  extra.insert(extra.begin(), {"type", s("start_test")});
  return rec(std::move(extra));
}
Bytes request() {
  return rec({{"type", s("django_request")}, {"method", s("GET")}, {"path_info", s("/orders/")}});
}
Bytes response(MpValue status) {
  return rec({{"type", s("django_response")}, {"status_code", std::move(status)}});
}

std::optional<std::string> name_of(RecordList records,
                                   const std::optional<std::string>& explicit_name = {}) {
  FramesByThread frames;
  frames.emplace("native_1", std::move(records));
  return resolve_trace_name(explicit_name, frames, "native_1");
}

TEST(TraceName, ExplicitNameWinsAndMissingThreadGivesNone) {
  RecordList records{start_test({{"test_name", s("t")}})};
  EXPECT_EQ(name_of(records, std::string("given")), "given");
  FramesByThread frames;
  EXPECT_EQ(resolve_trace_name({}, frames, "native_1"), std::nullopt);
  EXPECT_EQ(name_of({}), std::nullopt);
}

TEST(TraceName, StartTestGivesClassDotNameOrNameAlone) {
  EXPECT_EQ(name_of({start_test({{"test_name", s("t")}, {"test_class", s("C")}})}), "C.t");
  EXPECT_EQ(name_of({start_test({{"test_name", s("t")}})}), "t");
  EXPECT_EQ(name_of({start_test({{"test_class", MpValue{int64_t{3}}}, {"test_name", s("t")}})}),
            "t");
  // Without a string test_name the request records are looked at instead.
  EXPECT_EQ(name_of({start_test({{"test_name", MpValue{}}}), request(),
                     response(MpValue{uint64_t{200}})}),
            "GET /orders/ 200");
}

TEST(TraceName, OnlyTheFirstAndLastThreeRecordsAreLookedAt) {
  RecordList records(10, frame());
  records[3] = start_test({{"test_name", s("hidden")}});
  EXPECT_EQ(name_of(records), std::nullopt);
  records[7] = start_test({{"test_name", s("late")}});
  EXPECT_EQ(name_of(records), "late");
}

TEST(TraceName, RequestNeedsResponseWithIntegerStatus) {
  EXPECT_EQ(name_of({request(), frame(), response(MpValue{uint64_t{200}})}), "GET /orders/ 200");
  EXPECT_EQ(name_of({request(), response(MpValue{int64_t{-1}})}), "GET /orders/ -1");
  EXPECT_EQ(name_of({request(), frame()}), std::nullopt);
  EXPECT_EQ(name_of({request(), response(s("200"))}), std::nullopt);
  // Missing method and path are empty. The response is the last in candidate
  // order, and the tail is walked backwards: of [req, 500, 404] the candidates
  // are req, 500, 404, 404, 500, req.
  RecordList records{rec({{"type", s("django_request")}}), response(MpValue{uint64_t{500}}),
                     response(MpValue{uint64_t{404}})};
  EXPECT_EQ(name_of(records), "  500");
}

TEST(TraceName, FirstTypeEntryDecidesAndMalformedRecordsAreSkipped) {
  // A second "type" key does not count when the first is not a string.
  EXPECT_EQ(
      name_of(
          {rec({{"type", MpValue{int64_t{1}}}, {"type", s("start_test")}, {"test_name", s("t")}})}),
      std::nullopt);
  Bytes good = start_test({{"test_name", s("t")}});
  RecordList garbage{good.substr(0, good.size() - 1),  // truncated
                     "\xc1",
                     "\xdf\xff\xff\xff\xff",  // claims 2^32-1 entries
                     "\xdd\xff\xff\xff\xff",
                     good + "\xc0",     // bytes after the object
                     "\x92\xa1x\xa1y",  // not a map
                     ""};
  for (const Bytes& bad : garbage) {
    EXPECT_EQ(name_of({bad}), std::nullopt);
    EXPECT_EQ(name_of({bad, good}), "t");
    EXPECT_EQ(record_string_field(bad, "type"), std::nullopt);
  }
}

TEST(TraceName, RecordsNestedBeyondTheDecodeLimitAreSkipped) {
  Bytes deep = start_test({{"test_name", s("t")}});
  deep[0] = '\x83';
  mp::write_str(deep, "deep");
  deep.append(2000, '\x91');
  deep.push_back('\xc0');
  EXPECT_EQ(name_of({deep}), std::nullopt);
  // The in-place walk has no depth to protect and still reads the type.
  EXPECT_EQ(record_string_field(deep, "type"), "start_test");
}

TEST(RecordStringField, FirstEntryOfTheKeyMustHoldAString) {
  Bytes record = rec({{"typ", s("no")},
                      {"type", s("frame")},
                      {"co_name", MpValue{int64_t{5}}},
                      {"type", s("later")}});
  EXPECT_EQ(record_string_field(record, "type"), "frame");
  EXPECT_EQ(record_string_field(record, "co_name"), std::nullopt);
  EXPECT_EQ(record_string_field(record, "missing"), std::nullopt);
  // Non-string keys are skipped; a map16 header and long strings are read.
  Bytes wide;
  mp::write_map_header(wide, 17);
  mp::write_uint(wide, 1);
  mp::write_str(wide, std::string(40, 'v'));
  for (int i = 0; i < 15; ++i) write_str_pair(wide, "k" + std::to_string(i), "x");
  write_str_pair(wide, "co_name", std::string(300, 'n'));
  EXPECT_EQ(record_string_field(wide, "co_name"), std::string(300, 'n'));
  EXPECT_EQ(record_string_field("\x92\xa4type\xa1x", "type"), std::nullopt);
}

}  // namespace
}  // namespace vask
