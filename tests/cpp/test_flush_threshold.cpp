#include <variant>

#include "core/memory_budget.hpp"
#include "harness.hpp"
#include "subtree_flush.hpp"

namespace vask {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// The threshold for {"flush_subtree_mb": <expr>}, or the ValueError text.
std::variant<std::optional<uint64_t>, std::string> resolve(const std::string& expr) {
  Ref ns = test::run_python("import decimal, math\nc = {'flush_subtree_mb': " + expr + "}\n");
  try {
    return resolve_flush_subtree_bytes(test::get(ns, "c").get());
  } catch (const PyErrSet&) {
    EXPECT_EQ(PyErr_ExceptionMatches(PyExc_ValueError), 1) << expr;
    return test::take_error_message();
  }
}

TEST(FlushSubtreeBytes, AcceptedValues) {
  Ref empty = Ref::steal(PyDict_New());
  EXPECT_EQ(resolve_flush_subtree_bytes(empty.get()), 524'288'000u);
  using R = std::variant<std::optional<uint64_t>, std::string>;
  EXPECT_EQ(resolve("None"), R(std::optional<uint64_t>()));
  EXPECT_EQ(resolve("False"), R(std::optional<uint64_t>()));
  EXPECT_EQ(resolve("0"), R(std::optional<uint64_t>(0)));
  EXPECT_EQ(resolve("-0.0"), R(std::optional<uint64_t>(0)));
  EXPECT_EQ(resolve("0.5"), R(std::optional<uint64_t>(524'288)));
  EXPECT_EQ(resolve("1024"), R(std::optional<uint64_t>(1'073'741'824)));
  EXPECT_EQ(resolve("decimal.Decimal('1.5')"), R(std::optional<uint64_t>(3 * kMiB / 2)));
  // The largest value whose byte count still fits: 2^64 - 2^11.
  EXPECT_EQ(resolve("2.0**44 - 2.0**-9"), R(std::optional<uint64_t>(UINT64_MAX - 2047)));
}

TEST(FlushSubtreeBytes, RejectedValues) {
  const std::string not_a_number = "flush_subtree_mb must be a non-negative number or false";
  for (const char* expr : {"-1", "-1e-300", "math.nan", "math.inf", "'abc'", "10**400", "[]"}) {
    EXPECT_EQ(resolve(expr), decltype(resolve(""))(not_a_number)) << expr;
  }
  EXPECT_EQ(std::get<std::string>(resolve("True")),
            "flush_subtree_mb = true is not valid; use false to disable or a non-negative "
            "number to set the threshold");
  // 2^44 MiB is exactly 2^64 bytes, one more than the largest 64-bit value.
  for (const char* expr : {"2**44", "2.0**44", "1e300"}) {
    EXPECT_EQ(std::get<std::string>(resolve(expr)),
              "flush_subtree_mb is too large for this platform")
        << expr;
  }
}

TEST(FlushSubtreeBytes, OtherMegabyteSettingsHaveNoDefaultAndNameTheirKey) {
  Ref ns = test::run_python("c = {'memory_budget_mb': 1.5, 'max_trace_mb': 'x'}\nd = {}\n");
  EXPECT_EQ(resolve_megabytes(test::get(ns, "c").get(), "memory_budget_mb"), 3 * kMiB / 2);
  EXPECT_EQ(resolve_megabytes(test::get(ns, "d").get(), "memory_budget_mb"), std::nullopt);
  EXPECT_THROW(resolve_megabytes(test::get(ns, "c").get(), "max_trace_mb"), PyErrSet);
  EXPECT_EQ(test::take_error_message(), "max_trace_mb must be a non-negative number or false");
}

TEST(MemoryBudget, CountsHeapBlocksAndTracksOpenCallsBeforeTheBudget) {
  EXPECT_EQ(record_memory(Bytes("short")), 0u);  // inside the string itself
  Bytes record(100, 'x');
  record.shrink_to_fit();
  EXPECT_GE(record_memory(record), 109u);
  EXPECT_EQ(record_memory(record) % 16, 0u);
  EXPECT_EQ(tracking_from(512 * 1024), 0u);
  EXPECT_EQ(tracking_from(64 * kMiB), 0u);
  EXPECT_EQ(tracking_from(256 * kMiB), 192 * kMiB);
  EXPECT_EQ(tracking_from(1024 * kMiB), 896 * kMiB);
}

TEST(FlushTriggerBytes, LeavesAtLeast64MiBOrAnEighth) {
  EXPECT_EQ(flush_trigger_bytes(std::nullopt), 0u);
  EXPECT_EQ(flush_trigger_bytes(kDefaultFlushSubtreeBytes), 457'179'136u);
  EXPECT_EQ(flush_trigger_bytes(524'288), 0u);
  EXPECT_EQ(flush_trigger_bytes(kMiB), 0u);
  EXPECT_EQ(flush_trigger_bytes(64 * kMiB), 0u);
  EXPECT_EQ(flush_trigger_bytes(1024 * kMiB), 939'524'096u);
  EXPECT_EQ(flush_trigger_bytes(100 * kMiB), 36 * kMiB);
  EXPECT_EQ(flush_trigger_bytes(UINT64_MAX), UINT64_MAX - (UINT64_MAX >> 3));
}

}  // namespace
}  // namespace vask
