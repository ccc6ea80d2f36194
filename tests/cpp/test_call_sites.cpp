#include "harness.hpp"
#include "utils/call_sites.hpp"

namespace vask {
namespace {

// Suspended generator frames sit at known lines: fa at line 4, fb at line 7.
constexpr const char* kFrames = R"(
import sys
def gen_a():
    yield sys._getframe()
def gen_b():
    x = 1
    yield sys._getframe()
ga = gen_a(); fa = next(ga)
gb = gen_b(); fb = next(gb)
)";

class CallSites : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = test::run_python(kFrames);
    fa_ = test::get(ns_, "fa");
    fb_ = test::get(ns_, "fb");
    ASSERT_TRUE(fa_ && fb_);
  }
  Ref ns_, fa_, fb_;
};

TEST_F(CallSites, CallAndReturnSeeTheCallerAndItsLine) {
  CallFrames frames;
  // First recorded call on the thread: nothing below it.
  EXPECT_EQ(frames.get_user_code_call_site(fa_.get(), FrameEvent::Call, FrameId("a")),
            std::nullopt);
  ASSERT_EQ(frames.size(), 1u);

  auto call = frames.get_user_code_call_site(fb_.get(), FrameEvent::Call, FrameId("b"));
  ASSERT_TRUE(call);
  EXPECT_EQ(call->call_frame_id.view(), "a");
  EXPECT_EQ(call->line_number, 4);
  EXPECT_EQ(frames.size(), 2u);

  // The return of b skips b itself on top of the stack.
  auto ret = frames.get_user_code_call_site(fb_.get(), FrameEvent::Return, FrameId("b"));
  ASSERT_TRUE(ret);
  EXPECT_EQ(ret->call_frame_id.view(), "a");
  EXPECT_EQ(ret->line_number, 4);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames.entries()[0].frame_id.view(), "a");

  // Only the returning frame left: no call site, and the stack empties.
  EXPECT_EQ(frames.get_user_code_call_site(fa_.get(), FrameEvent::Unwind, FrameId("a")),
            std::nullopt);
  EXPECT_EQ(frames.size(), 0u);
  // A closing event on an empty stack pops nothing.
  EXPECT_EQ(frames.get_user_code_call_site(fa_.get(), FrameEvent::Return, FrameId("a")),
            std::nullopt);
  EXPECT_EQ(frames.size(), 0u);
}

TEST_F(CallSites, YieldPopsAndResumePushesUnderTheNewId) {
  CallFrames frames;
  frames.get_user_code_call_site(fa_.get(), FrameEvent::Call, FrameId("a"));
  frames.get_user_code_call_site(fb_.get(), FrameEvent::Call, FrameId("b1"));
  auto yielded = frames.get_user_code_call_site(fb_.get(), FrameEvent::Yield, FrameId("b1"));
  ASSERT_TRUE(yielded);
  EXPECT_EQ(yielded->call_frame_id.view(), "a");
  EXPECT_EQ(frames.size(), 1u);

  auto resumed = frames.get_user_code_call_site(fb_.get(), FrameEvent::Resume, FrameId("b2"));
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->call_frame_id.view(), "a");
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames.entries()[1].frame_id.view(), "b2");
}

TEST_F(CallSites, SameIdBelowTheTopGivesNoCallSite) {
  std::vector<CallFrameEntry> entries;
  entries.push_back({fa_.copy(), FrameId("x")});
  entries.push_back({fb_.copy(), FrameId("x")});
  EXPECT_EQ(user_code_call_site(entries, "x"), std::nullopt);
  auto other = user_code_call_site(entries, "y");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->line_number, 7);
}

TEST_F(CallSites, NonFrameCandidateFailsAndLeavesTheStackAlone) {
  std::vector<CallFrameEntry> entries;
  entries.push_back({make_str("not a frame"), FrameId("a")});
  EXPECT_THROW(user_code_call_site(entries, "b"), PyErrSet);
  EXPECT_EQ(test::take_error_message(), "'str' object cannot be converted to 'PyFrame'");

  // Through CallFrames: an error leaves the stack as it was. The only way to
  // get a non-frame in is a caller passing one, so push it as a call.
  CallFrames frames;
  Ref not_frame = make_str("x");
  frames.get_user_code_call_site(not_frame.get(), FrameEvent::Call, FrameId("s"));
  EXPECT_THROW(frames.get_user_code_call_site(fa_.get(), FrameEvent::Call, FrameId("t")), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "TypeError");
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_THROW(frames.get_user_code_call_site(fa_.get(), FrameEvent::Return, FrameId("t")),
               PyErrSet);
  test::take_error_type();
  EXPECT_EQ(frames.size(), 1u);
}

TEST_F(CallSites, StackOwnsItsFramesAndSnapshotsHoldNewReferences) {
  const Py_ssize_t base = Py_REFCNT(fa_.get());
  CallFrames frames;
  frames.get_user_code_call_site(fa_.get(), FrameEvent::Call, FrameId("a"));
  EXPECT_EQ(Py_REFCNT(fa_.get()), base + 1);
  {
    std::vector<CallFrameEntry> bound = frames.get_bound();
    ASSERT_EQ(bound.size(), 1u);
    EXPECT_EQ(bound[0].frame.get(), fa_.get());
    EXPECT_EQ(bound[0].frame_id.view(), "a");
    EXPECT_EQ(Py_REFCNT(fa_.get()), base + 2);
  }
  frames.get_user_code_call_site(fa_.get(), FrameEvent::Return, FrameId("a"));
  EXPECT_EQ(Py_REFCNT(fa_.get()), base);
}

}  // namespace
}  // namespace vask
