#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <set>
#include <thread>

#include "harness.hpp"
#include "utils/ids.hpp"

namespace vask {
namespace {

bool is_crockford(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') ||
           (c >= 'A' && c <= 'Z' && c != 'I' && c != 'L' && c != 'O' && c != 'U');
  });
}

TEST(Ulid, EncodesKnownVectors) {
  std::array<uint8_t, 10> zeros{};
  EXPECT_EQ(encode_ulid(0, zeros), "00000000000000000000000000");

  std::array<uint8_t, 10> ones;
  ones.fill(0xFF);
  EXPECT_EQ(encode_ulid((uint64_t{1} << 48) - 1, ones), "7ZZZZZZZZZZZZZZZZZZZZZZZZZ");

  // 1469918176385 ms is the time part "01ARYZ6S41"; the random part 01..0A
  // split into 5-bit groups by hand.
  std::array<uint8_t, 10> counting{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(encode_ulid(1469918176385, counting), "01ARYZ6S41041061050R3GG28A");

  std::array<uint8_t, 10> low_bit{};
  low_bit[9] = 1;
  EXPECT_EQ(encode_ulid(1, low_bit), "00000000010000000000000001");
}

TEST(Ulid, IdsHavePrefixLengthAndAlphabet) {
  const std::string trace = new_trace_id();
  const std::string frame = new_frame_id();
  ASSERT_EQ(trace.size(), 30u);
  ASSERT_EQ(frame.size(), 30u);
  EXPECT_EQ(trace.substr(0, 4), "trc_");
  EXPECT_EQ(frame.substr(0, 4), "frm_");
  EXPECT_TRUE(is_crockford(trace.substr(4))) << trace;
  EXPECT_TRUE(is_crockford(frame.substr(4))) << frame;
  // The time part is the current time, not zero or garbage.
  const auto now_ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  EXPECT_LE(trace.substr(4, 10), encode_ulid(now_ms + 1, {}).substr(0, 10));
  EXPECT_GE(trace.substr(4, 10), encode_ulid(now_ms - 1000, {}).substr(0, 10));
}

TEST(Ulid, ManyIdsAreUniqueAndLaterMillisecondsSortAfter) {
  // Enough ids to drain the per-thread pool several times over.
  std::set<std::string> seen;
  for (int i = 0; i < 5000; ++i) seen.insert(new_ulid());
  EXPECT_EQ(seen.size(), 5000u);

  const std::string before = new_ulid();
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  const std::string after = new_ulid();
  EXPECT_LT(before, after);
  EXPECT_LT(before.substr(0, 10), after.substr(0, 10));
}

TEST(Ulid, ThreadsDrawDifferentRandomParts) {
  std::string other;
  std::thread t([&] { other = new_ulid(); });
  t.join();
  const std::string mine = new_ulid();
  EXPECT_NE(other.substr(10), mine.substr(10));
}

TEST(Ulid, ForkedChildDoesNotRepeatTheParentsRandomParts) {
  (void)new_ulid();  // the pool now holds unread bytes the child inherits
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string child = new_ulid();
    ssize_t written = write(fds[1], child.data(), child.size());
    _exit(written == 26 ? 0 : 1);
  }
  close(fds[1]);
  char buf[26] = {};
  ssize_t got = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_EQ(got, 26);
  const std::string parent = new_ulid();
  EXPECT_NE(std::string(buf + 10, 16), parent.substr(10));
}

TEST(ForkGeneration, MovesOnInTheChildAlone) {
  const uint64_t before = fork_generation();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(fork_generation() == before + 1 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(fork_generation(), before);
}

TEST(Timestamp, IsTheWallClockInSeconds) {
  const double t = timestamp();
  const double now = static_cast<double>(std::time(nullptr));
  EXPECT_NEAR(t, now, 2.0);
  EXPECT_LE(t, timestamp());
}

TEST(FrameIds, CallAndReturnShareAnIdAndReusedAddressesGetNewOnes) {
  FrameIds ids;
  const std::string a(ids.get_or_set(FrameEvent::Call, 0x1000).view());
  EXPECT_EQ(ids.get_or_set(FrameEvent::Return, 0x1000).view(), a);
  ASSERT_NE(ids.find(0x1000), nullptr);
  EXPECT_EQ(ids.find(0x1000)->view(), a);
  const std::string b(ids.get_or_set(FrameEvent::Call, 0x1000).view());
  EXPECT_NE(a, b);
  EXPECT_EQ(ids.get_or_set(FrameEvent::Unwind, 0x1000).view(), b);
  EXPECT_EQ(ids.size(), 1u);
}

TEST(FrameIds, UnknownClosingFramesGetFreshUnstoredIds) {
  FrameIds ids;
  const std::string first(ids.get_or_set(FrameEvent::Return, 0x2000).view());
  const std::string second(ids.get_or_set(FrameEvent::Return, 0x2000).view());
  EXPECT_EQ(first.substr(0, 4), "frm_");
  EXPECT_NE(first, second);
  EXPECT_EQ(ids.size(), 0u);
  EXPECT_EQ(ids.find(0x2000), nullptr);
}

TEST(FrameIds, GeneratorResumesAndThrowsStartNewIds) {
  FrameIds ids;
  const std::string a(ids.get_or_set(FrameEvent::Call, 0x3000).view());
  EXPECT_EQ(ids.get_or_set(FrameEvent::Yield, 0x3000).view(), a);
  const std::string b(ids.get_or_set(FrameEvent::Resume, 0x3000).view());
  EXPECT_NE(a, b);
  EXPECT_EQ(ids.get_or_set(FrameEvent::Yield, 0x3000).view(), b);
  const std::string c(ids.get_or_set(FrameEvent::Throw, 0x3000).view());
  EXPECT_NE(b, c);
  EXPECT_EQ(ids.get_or_set(FrameEvent::Return, 0x3000).view(), c);
}

TEST(FrameEvents, NamesAndClosingKinds) {
  EXPECT_EQ(event_name(FrameEvent::Call), "call");
  EXPECT_EQ(event_name(FrameEvent::Unwind), "unwind");
  EXPECT_EQ(event_name(FrameEvent::Throw), "throw");
  EXPECT_TRUE(is_closing(FrameEvent::Yield));
  EXPECT_FALSE(is_closing(FrameEvent::Resume));
}

// Runs get_thread_id with sys.stdout captured; returns (id or "", stdout).
struct ThreadIdResult {
  std::string id;
  std::string out;
  bool threw = false;
};

ThreadIdResult thread_id_of(const char* expr) {
  std::string src = R"(
import io, sys
class T:
    def __init__(self, native_id=None, ident=None, name="worker"):
        if native_id != "missing": self.native_id = native_id
        if ident != "missing": self.ident = ident
        if name != "broken": self.name = name
    def __getattr__(self, attr):
        if attr == "name": raise RuntimeError("no name")
        raise AttributeError(attr)
class Boom:
    @property
    def native_id(self): raise ValueError("boom")
    ident = 5
buf = io.StringIO()
thread = )";
  src += expr;
  src += "\n";
  Ref ns = test::run_python(src);
  ThreadIdResult r;
  if (!ns) return r;
  PyObject* saved = PySys_GetObject("stdout");
  Py_XINCREF(saved);
  PySys_SetObject("stdout", test::get(ns, "buf").get());
  try {
    r.id = get_thread_id(test::get(ns, "thread").get());
  } catch (const PyErrSet&) {
    r.threw = true;
  }
  {
    ErrorStash stash;
    PySys_SetObject("stdout", saved);
    Py_XDECREF(saved);
    Ref value = Ref::check(PyObject_CallMethod(test::get(ns, "buf").get(), "getvalue", nullptr));
    r.out = std::string(str_view(value.get()));
  }
  return r;
}

TEST(ThreadId, PrefersNativeIdThenIdent) {
  EXPECT_EQ(thread_id_of("T(native_id=42, ident=7)").id, "native_42");
  EXPECT_EQ(thread_id_of("T(native_id=0, ident=7)").id, "native_0");
  EXPECT_EQ(thread_id_of("T(native_id=None, ident=7)").id, "ident_7");
  EXPECT_EQ(thread_id_of("T(native_id='missing', ident=2**64-1)").id, "ident_18446744073709551615");
  Ref ns = test::run_python("import threading\nt = threading.current_thread()\n");
  const std::string real = get_thread_id(test::get(ns, "t").get());
  EXPECT_EQ(real.rfind("native_", 0), 0u) << real;
}

TEST(ThreadId, NoIdWarnsOnStdoutWithTheName) {
  ThreadIdResult r = thread_id_of("T()");
  EXPECT_EQ(r.id, "no_thread_id");
  EXPECT_EQ(r.out, "Vask warning: thread has no id: worker\n");

  r = thread_id_of("T(native_id='missing', ident='missing', name='broken')");
  EXPECT_EQ(r.id, "no_thread_id");
  EXPECT_EQ(r.out, "Vask warning: thread has no id: <unknown>\n");
  test::expect_no_python_error();
}

TEST(ThreadId, ConversionAndReadErrorsReachTheCaller) {
  ThreadIdResult r = thread_id_of("T(native_id=3, ident=-1)");
  EXPECT_TRUE(r.threw);
  EXPECT_EQ(test::take_error_type(), "OverflowError");

  r = thread_id_of("T(native_id=-3)");
  EXPECT_TRUE(r.threw);
  EXPECT_EQ(test::take_error_type(), "OverflowError");

  r = thread_id_of("T(native_id='12')");
  EXPECT_TRUE(r.threw);
  EXPECT_EQ(test::take_error_type(), "TypeError");

  r = thread_id_of("Boom()");
  EXPECT_TRUE(r.threw);
  EXPECT_EQ(test::take_error_message(), "boom");

  // A name that is not a string is an error, and nothing is printed.
  r = thread_id_of("T(name=5)");
  EXPECT_TRUE(r.threw);
  EXPECT_EQ(test::take_error_type(), "TypeError");
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace vask
