#include <string>

#include "harness.hpp"
#include "utils/msgpack_write.hpp"

namespace vask {
namespace {

std::string hex(std::string_view s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

template <class F>
std::string written(F&& f) {
  Bytes out;
  f(out);
  return hex(out);
}

TEST(MsgpackWrite, IntegersTakeTheShortestFormAtEveryBoundary) {
  auto u = [](uint64_t v) { return written([&](Bytes& b) { mp::write_uint(b, v); }); };
  EXPECT_EQ(u(0), "00");
  EXPECT_EQ(u(127), "7f");
  EXPECT_EQ(u(128), "cc80");
  EXPECT_EQ(u(255), "ccff");
  EXPECT_EQ(u(256), "cd0100");
  EXPECT_EQ(u(65535), "cdffff");
  EXPECT_EQ(u(65536), "ce00010000");
  EXPECT_EQ(u(uint64_t{1} << 32), "cf0000000100000000");

  auto i = [](int64_t v) { return written([&](Bytes& b) { mp::write_int(b, v); }); };
  EXPECT_EQ(i(5), "05");
  EXPECT_EQ(i(200), "ccc8");  // non-negative values use the unsigned forms
  EXPECT_EQ(i(-1), "ff");
  EXPECT_EQ(i(-32), "e0");
  EXPECT_EQ(i(-33), "d0df");
  EXPECT_EQ(i(-129), "d1ff7f");
  EXPECT_EQ(i(-32769), "d2ffff7fff");
  EXPECT_EQ(i(INT64_MIN), "d38000000000000000");
}

TEST(MsgpackWrite, FloatsAreAlwaysFloat64EvenWhenIntegral) {
  EXPECT_EQ(written([](Bytes& b) { mp::write_f64(b, 2.0); }), "cb4000000000000000");
  EXPECT_EQ(written([](Bytes& b) { mp::write_f64(b, -0.5); }), "cbbfe0000000000000");
  EXPECT_EQ(written([](Bytes& b) { write_f64_pair(b, 1.0); }),
            "a9" + hex("timestamp") + "cb3ff0000000000000");
}

TEST(MsgpackWrite, StringAndContainerHeadersAtBoundaries) {
  auto s = [](size_t n) {
    return written([&](Bytes& b) { mp::write_str(b, std::string(n, 'x')); }).substr(0, 10);
  };
  EXPECT_EQ(s(0).substr(0, 2), "a0");
  EXPECT_EQ(s(31).substr(0, 2), "bf");
  EXPECT_EQ(s(32).substr(0, 4), "d920");
  EXPECT_EQ(s(255).substr(0, 4), "d9ff");
  EXPECT_EQ(s(256).substr(0, 6), "da0100");
  EXPECT_EQ(s(65536), "db00010000");
  EXPECT_EQ(written([](Bytes& b) { mp::write_bin(b, "ab"); }), "c4026162");

  EXPECT_EQ(written([](Bytes& b) { mp::write_map_header(b, 15); }), "8f");
  EXPECT_EQ(written([](Bytes& b) { mp::write_map_header(b, 16); }), "de0010");
  EXPECT_EQ(written([](Bytes& b) { mp::write_map_header(b, 65536); }), "df00010000");
  EXPECT_EQ(written([](Bytes& b) { mp::write_array_header(b, 15); }), "9f");
  EXPECT_EQ(written([](Bytes& b) { mp::write_array_header(b, 16); }), "dc0010");
  EXPECT_EQ(written([](Bytes& b) { mp::write_ext_header(b, 5, 4); }), "d605");
  EXPECT_EQ(written([](Bytes& b) { mp::write_ext_header(b, 5, 3); }), "c70305");
  EXPECT_THROW(mp::checked_count(size_t{1} << 32), InternalFault);
}

TEST(MsgpackWrite, PairsWriteNilForAbsentValues) {
  EXPECT_EQ(written([](Bytes& b) { write_str_pair(b, "k", std::nullopt); }), "a16bc0");
  EXPECT_EQ(written([](Bytes& b) { write_str_pair(b, "k", "v"); }), "a16ba176");
  EXPECT_EQ(written([](Bytes& b) { write_int_pair(b, "k", std::nullopt); }), "a16bc0");
  EXPECT_EQ(written([](Bytes& b) { write_int_pair(b, "k", 300); }), "a16bcd012c");
  EXPECT_EQ(written([](Bytes& b) { write_bool_pair(b, "k", true); }), "a16bc3");
  EXPECT_EQ(written([](Bytes& b) { write_bool_pair(b, "k", false); }), "a16bc2");
}

TEST(MsgpackWrite, RawFrameSliceCopiesRecordsUnchanged) {
  EXPECT_EQ(written([](Bytes& b) { write_raw_frame_slice(b, {}); }), "90");
  RecordList records{"\x81\xa1k\x01", "\xc0"};
  EXPECT_EQ(written([&](Bytes& b) { write_raw_frame_slice(b, records); }), "9281a16b01c0");
  RecordList many(16, "\xc3");
  std::string expected = "dc0010";
  for (int i = 0; i < 16; ++i) expected += "c3";
  EXPECT_EQ(written([&](Bytes& b) { write_raw_frame_slice(b, many); }), expected);
}

TEST(MsgpackWrite, ValueTreeWritesEveryKind) {
  MpMap inner{{"n", MpValue{}}};
  MpMap map{{"b", MpValue{true}}, {"i", MpValue{int64_t{-2}}},      {"u", MpValue{uint64_t{7}}},
            {"f", MpValue{0.0}},  {"s", MpValue{std::string("x")}}, {"m", MpValue{inner}}};
  EXPECT_EQ(written([&](Bytes& b) { write_value(b, MpValue{map}); }),
            "86a162c3a169fea17507a166cb0000000000000000a173a178a16d81a16ec0");
}

TEST(ObjectSize, MeasuresExactlyOneObjectAndRejectsShortOrInvalidData) {
  Bytes record;
  mp::write_map_header(record, 3);
  write_str_pair(record, "s", std::string(300, 'y'));
  write_f64_pair(record, 1.5);
  mp::write_str(record, "nested");
  mp::write_array_header(record, 3);
  mp::write_int(record, -70000);
  mp::write_bin(record, "abc");
  mp::write_ext_header(record, 1, 16);
  record.append(16, '\0');
  EXPECT_EQ(mp::object_size(record), record.size());
  EXPECT_EQ(mp::object_size(record + "\xc0"), record.size());  // only the first object
  for (size_t cut = 0; cut < record.size(); ++cut) {
    ASSERT_EQ(mp::object_size(std::string_view(record).substr(0, cut)), mp::npos) << cut;
  }
  EXPECT_EQ(mp::object_size("\xc1"), mp::npos);
  EXPECT_EQ(mp::object_size("\x91\xc1"), mp::npos);
  // A header claiming 2^32-1 entries in five bytes is short, not a long walk.
  EXPECT_EQ(mp::object_size("\xdf\xff\xff\xff\xff"), mp::npos);
  EXPECT_EQ(mp::object_size("\xdd\xff\xff\xff\xff\xdd\xff\xff\xff\xff"), mp::npos);
  // Depth costs nothing: no recursion.
  std::string deep(200000, '\x91');
  deep.push_back('\xc0');
  EXPECT_EQ(mp::object_size(deep), deep.size());
}

}  // namespace
}  // namespace vask
