#include "utils/ids.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

namespace vask {

std::string_view event_name(FrameEvent e) noexcept {
  switch (e) {
    case FrameEvent::Call:
      return "call";
    case FrameEvent::Return:
      return "return";
    case FrameEvent::Unwind:
      return "unwind";
    case FrameEvent::Resume:
      return "resume";
    case FrameEvent::Yield:
      return "yield";
    case FrameEvent::Throw:
      return "throw";
  }
  return "call";  // unreachable: FrameEvent has exactly six values
}

namespace {

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr uint64_t kMaxUlidMs = (uint64_t{1} << 48) - 1;

// ---- per-thread random pool -------------------------------------------------
//
// A frame id is made on every recorded call, so random bytes are drawn from a
// thread-local pool that is refilled from the kernel in 4 KiB blocks instead
// of one syscall per id. No locking is needed: each thread owns its pool.
//
// After fork() the child would inherit the parent's unread pool bytes and
// both processes would hand out the same "random" parts. A process-wide fork
// generation, bumped in the child by a pthread_atfork handler, makes every
// pool that was filled before the fork count as empty. The same generation
// tells an engine built before a fork that it is running in the child
// (fork_generation()).

std::atomic<uint64_t> g_fork_generation{0};

void on_fork_child() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

void register_fork_handler() noexcept {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, &on_fork_child);
    return true;
  }();
  (void)registered;
}

// Fills buf completely from the OS CSPRNG. getrandom may return short reads
// for large requests and EINTR on signals; /dev/urandom covers kernels
// without the syscall.
void fill_from_os(uint8_t* buf, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(buf + done, size - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOSYS) break;
    fault("the OS random source failed");
  }
  if (done == size) return;

  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fault("the OS random source failed");
  while (done < size) {
    ssize_t n = ::read(fd, buf + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      ::close(fd);
      fault("the OS random source failed");
    }
  }
  ::close(fd);
}

struct RandomPool {
  static constexpr size_t kSize = 4096;
  uint8_t bytes[kSize];
  size_t pos = kSize;  // empty until first use
  uint64_t generation = 0;

  void take(uint8_t* out, size_t n) {
    const uint64_t gen = g_fork_generation.load(std::memory_order_relaxed);
    if (gen != generation) {
      pos = kSize;
      generation = gen;
    }
    if (kSize - pos < n) {
      register_fork_handler();
      fill_from_os(bytes, kSize);
      pos = 0;
    }
    std::memcpy(out, bytes + pos, n);
    // Handed-out bytes are not kept around in the pool.
    std::memset(bytes + pos, 0, n);
    pos += n;
  }
};

thread_local RandomPool t_pool;

uint64_t now_unix_ms() noexcept {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  // The time part has 48 bits (until the year 10889); saturate beyond.
  return ms > kMaxUlidMs ? kMaxUlidMs : ms;
}

// Writes the 26 characters of encode_ulid(unix_ms, random) to text.
void write_ulid(char* text, uint64_t unix_ms, const std::array<uint8_t, 10>& random) {
  // 128 bits as two words: 48 time bits then 80 random bits.
  uint64_t hi = (unix_ms & kMaxUlidMs) << 16 | uint64_t{random[0]} << 8 | random[1];
  uint64_t lo = 0;
  for (size_t i = 2; i < 10; ++i) lo = lo << 8 | random[i];

  // 26 characters of 5 bits: the first carries the top 3 bits (130 - 128 = 2
  // leading zero bits), the rest 5 bits each, most significant first.
  for (int i = 25; i >= 0; --i) {
    text[i] = kCrockford[lo & 0x1F];
    lo = lo >> 5 | (hi & 0x1F) << 59;
    hi >>= 5;
  }
}

// prefix (4 characters) and a new ULID, into text.
void write_prefixed_ulid(char* text, const char (&prefix)[5]) {
  std::array<uint8_t, 10> random;
  t_pool.take(random.data(), random.size());
  std::memcpy(text, prefix, 4);
  write_ulid(text + 4, now_unix_ms(), random);
}

}  // namespace

std::string encode_ulid(uint64_t unix_ms, const std::array<uint8_t, 10>& random) {
  std::string out(26, '\0');
  write_ulid(out.data(), unix_ms, random);
  return out;
}

std::string new_ulid() {
  std::array<uint8_t, 10> random;
  t_pool.take(random.data(), random.size());
  return encode_ulid(now_unix_ms(), random);
}

uint64_t fork_generation() noexcept {
  register_fork_handler();
  return g_fork_generation.load(std::memory_order_relaxed);
}

std::string new_trace_id() {
  std::string out(4 + 26, '\0');
  write_prefixed_ulid(out.data(), "trc_");
  return out;
}

FrameId::FrameId(std::string_view text) {
  if (text.size() > kCapacity) fault("a frame id longer than a prefixed ULID");
  std::memcpy(text_.data(), text.data(), text.size());
  size_ = static_cast<uint8_t>(text.size());
}

FrameId FrameId::make() {
  FrameId id;
  write_prefixed_ulid(id.text_.data(), "frm_");
  return id;
}

std::string new_frame_id() { return std::string(FrameId::make().view()); }

double timestamp() {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) {
    fault("System time is before unix epoch");
  }
  return static_cast<double>(ts.tv_nsec) / 1e9 + static_cast<double>(ts.tv_sec);
}

const FrameId& FrameIds::get_or_set(FrameEvent event, uint64_t frame_address) {
  if (is_closing(event)) {
    auto it = ids_.find(frame_address);
    if (it != ids_.end()) return it->second;
    // A frame closed without a recorded opening (tracing began inside it):
    // the event still needs an id, but there is nothing to pair it with.
    return unpaired_.emplace(FrameId::make());
  }
  return ids_.insert_or_assign(frame_address, FrameId::make()).first->second;
}

const FrameId* FrameIds::find(uint64_t frame_address) const {
  auto it = ids_.find(frame_address);
  return it == ids_.end() ? nullptr : &it->second;
}

namespace {

// Reads an optional unsigned id attribute of a thread object. AttributeError
// and None mean absent; other read errors and failed conversions (negative,
// not an integer) are thrown.
std::optional<uint64_t> read_thread_number(PyObject* thread, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(thread, name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_py();
    PyErr_Clear();  // a missing attribute is the same as None
    return std::nullopt;
  }
  if (value.get() == Py_None) return std::nullopt;
  Ref index = Ref::check(PyNumber_Index(value.get()));
  const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_py();
  return static_cast<uint64_t>(n);
}

std::string numbered(std::string_view prefix, uint64_t n) {
  char digits[20];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
  (void)ec;  // 20 digits always suffice for a uint64_t
  std::string out;
  out.reserve(prefix.size() + static_cast<size_t>(end - digits));
  out.append(prefix);
  out.append(digits, end);
  return out;
}

}  // namespace

std::string get_thread_id(PyObject* thread) {
  const Interned& n = interned();
  // Both are read before deciding, so that a bad ident fails the call even
  // when native_id alone would have been enough.
  const std::optional<uint64_t> native_id = read_thread_number(thread, n.native_id);
  const std::optional<uint64_t> ident = read_thread_number(thread, n.ident);
  if (native_id) return numbered("native_", *native_id);
  if (ident) return numbered("ident_", *ident);

  std::string name = "<unknown>";
  Ref value = Ref::steal(PyObject_GetAttr(thread, n.name));
  if (value) {
    name = str_text(value.get());  // a name that is not a str is the thread's fault
  } else {
    PyErr_Clear();  // an unreadable name only degrades the warning text
  }
  print_stdout_line("Vask warning: thread has no id: " + name);
  return "no_thread_id";
}

}  // namespace vask
