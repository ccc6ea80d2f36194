
#include <string>

#include "config.hpp"
#include "core/host_facts.hpp"
#include "core/memory_budget.hpp"
#include "harness.hpp"
#include "utils/msgpack_write.hpp"
#include "utils/trace.hpp"

namespace vask {
namespace {

// A fake vask.git and sys.argv for the duration of a test, fake thread
// objects, and a checker that decodes documents with the msgpack package.
constexpr const char* kSetup = R"(
import sys, types
_saved_git = sys.modules.get('vask.git')
_saved_argv = getattr(sys, 'argv', None)
git = types.ModuleType('vask.git')
git.COMMIT_SHA = 'abc123'
sys.modules['vask.git'] = git
sys.argv = ['prog', '--flag']

def restore():
    if _saved_git is None:
        sys.modules.pop('vask.git', None)
    else:
        sys.modules['vask.git'] = _saved_git
    if _saved_argv is None:
        del sys.argv
    else:
        sys.argv = _saved_argv

class FakeThread:
    def __init__(self, name, ident, native_id, daemon=False, alive=True):
        self.name, self.ident, self.native_id = name, ident, native_id
        self.daemon, self._alive = daemon, alive
    def is_alive(self):
        return self._alive

class Broken(FakeThread):
    @property
    def ident(self):
        raise RuntimeError('no ident')
    @ident.setter
    def ident(self, v):
        pass

main = FakeThread('MainThread', 5, None)
worker = Broken('w', 1, 9, daemon=True, alive=False)
negative = FakeThread('n', -3, 2**64)
config = {'use_rust': False, 'x': 1, 'filters': {}, 'use_monitoring': 'no'}

try:
    import msgpack
except ImportError:
    msgpack = None
)";

struct Env {
  Ref ns;
  Config config;
  FramesByThread frames;
  ThreadMap threads;
  std::optional<std::string> name;
  Env() : ns(test::run_python(kSetup)), config(Config::from_dict(test::get(ns, "config").get())) {}
  ~Env() {
    Ref done = Ref::steal(PyObject_CallNoArgs(test::get(ns, "restore").get()));
    if (!done) test::expect_no_python_error();
  }
  Ref build() {
    const HostFacts host = collect_host_facts(config, true);
    return build_trace_from_parts(
        TraceParts{frames, threads, "trc_1", name, "cli", "native_7", host, "trc_0", 1.0});
  }
  bool have_msgpack() { return test::get(ns, "msgpack").get() != Py_None; }
};

std::string_view view(const Ref& bytes) {
  return {PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

TEST(TraceDocument, HoldsTheElevenEntriesWithThreadsAndRecordsCopiedVerbatim) {
  Env env;
  Bytes rec1, rec2;
  mp::write_map_header(rec1, 1);
  write_str_pair(rec1, "type", "frame");
  mp::write_array_header(rec2, 1);
  mp::write_f64(rec2, 3.0);
  env.frames["native_7"] = {rec1, rec2};
  env.frames["orphan"] = {rec1};
  env.threads.emplace("native_7", ThreadRef::of(test::get(env.ns, "main").get()));
  env.threads.emplace("native_9", ThreadRef::of(test::get(env.ns, "worker").get()));
  env.threads.emplace("ident_3", ThreadRef::of(test::get(env.ns, "negative").get()));
  Ref doc = env.build();
  EXPECT_FALSE(PyErr_Occurred());  // the failing ident read was discarded
  EXPECT_NE(view(doc).find(std::string("\x92") + rec1 + rec2), std::string::npos);
  if (!env.have_msgpack()) GTEST_SKIP() << "the msgpack package is not installed";

  Ref checker = test::run_python(R"(
def check(doc):
    import sys, platform, msgpack
    from vask.version import __version__
    d = msgpack.unpackb(doc, raw=False, strict_map_key=False)
    assert list(d) == ['trace_id', 'trace_name', 'current_thread_id', 'timestamp',
                       'current_commit_sha', 'root_trace_id', 'meta', 'command_line_args',
                       'threads', 'frames_of_interest', 'frames'], list(d)
    assert (d['trace_id'], d['trace_name'], d['current_thread_id'], d['timestamp']) == \
        ('trc_1', None, 'native_7', 1.0)
    assert (d['current_commit_sha'], d['root_trace_id']) == ('abc123', 'trc_0')
    meta = d['meta']
    assert list(meta) == ['version', 'source', 'environment', 'config'], meta
    assert meta['version'] == __version__ and meta['source'] == 'cli'
    assert meta['environment'] == {
        'py_version': platform.python_version(), 'py_version_full': sys.version,
        'platform': platform.platform(), 'system': platform.system(),
        'machine': platform.machine(), 'processor': platform.processor()}, meta['environment']
    assert meta['config'] == {'x': 1, 'use_rust': True, 'use_monitoring': True}, meta['config']
    assert d['command_line_args'] == ['prog', '--flag']
    assert d['frames_of_interest'] == [] and d['frames'] == {}
    t = d['threads']
    assert sorted(t) == ['ident_3', 'native_7', 'native_9'], t
    assert list(t['native_7']) == ['name', 'ident', 'native_id', 'daemon', 'is_alive', 'frames']
    assert t['native_7'] == {'name': 'MainThread', 'ident': 5, 'native_id': None, 'daemon': False,
                             'is_alive': True, 'frames': [{'type': 'frame'}, [3.0]]}, t['native_7']
    assert t['native_9'] == {'name': 'w', 'ident': None, 'native_id': 9, 'daemon': True,
                             'is_alive': False, 'frames': []}, t['native_9']
    assert (t['ident_3']['ident'], t['ident_3']['native_id']) == (None, None), t['ident_3']

)");
  Ref ok = Ref::steal(PyObject_CallOneArg(test::get(checker, "check").get(), doc.get()));
  EXPECT_TRUE(ok) << test::take_error_message();
}

TEST(TraceDocument, EmptyTraceEndsWithEmptyThreadsAndFrames) {
  Env env;
  env.name = "C.t";
  env.frames["orphan"] = {"\xc0"};
  Ref doc = env.build();
  const std::string tail = std::string("\xa7threads\x80") +
                           "\xb2"
                           "frames_of_interest\x90" +
                           "\xa6"
                           "frames\x80";
  ASSERT_GE(view(doc).size(), tail.size());
  EXPECT_EQ(view(doc).substr(view(doc).size() - tail.size()), tail);
  EXPECT_EQ(view(doc).substr(0, 1), "\x8b");
  EXPECT_NE(view(doc).find(std::string("\xaatrace_name\xa3"
                                       "C.t")),
            std::string::npos);
}

TEST(TraceDocument, CommitShaMayBeNoneButMustExist) {
  Env env;
  test::run_python("import sys\nsys.modules['vask.git'].COMMIT_SHA = None\n");
  Ref doc = env.build();
  EXPECT_NE(view(doc).find("\xb2"
                           "current_commit_sha\xc0"),
            std::string::npos);

  test::run_python("import sys\ndel sys.modules['vask.git'].COMMIT_SHA\n");
  EXPECT_THROW(env.build(), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "AttributeError");
}

TEST(TraceDocument, BrokenThreadAttributesAreFaultsWithFixedMessages) {
  Env env;
  Ref ns = test::run_python(R"(
class NoName:
    ident = native_id = 1
    daemon = False
    def is_alive(self): return True
    @property
    def name(self): raise RuntimeError('x')
class IntName(NoName):
    name = 3
class NoDaemon(NoName):
    name = 'n'
    daemon = property(lambda self: 1 / 0)
class IntDaemon(NoDaemon):
    daemon = 1
class NoAlive(IntDaemon):
    daemon = True
    is_alive = None
class IntAlive(NoAlive):
    def is_alive(self): return 1
)");
  const std::pair<const char*, const char*> cases[] = {
      {"NoName", "Failed to get 'name' attribute"},
      {"IntName", "Failed to extract 'name' as String"},
      {"NoDaemon", "Failed to get 'daemon' attribute"},
      {"IntDaemon", "Failed to extract 'daemon' as bool"},
      {"NoAlive", "Failed to call 'is_alive' method"},
      {"IntAlive", "Failed to extract 'is_alive' as bool"}};
  for (const auto& [cls, message] : cases) {
    env.threads.clear();
    // Held while the document is built: its facts are read from the object.
    Ref thread = call(test::get(ns, cls).get());
    env.threads.emplace("t", ThreadRef::of(thread.get()));
    try {
      env.build();
      ADD_FAILURE() << cls << " built a document";
    } catch (const InternalFault& f) {
      EXPECT_EQ(f.message, message) << cls;
    }
    PyErr_Clear();
  }
}

TEST(TraceDocument, ItsRecordsReadBackAsWrittenAndAreGivenBackWhenReleased) {
  Env env;
  Bytes small, large;
  mp::write_map_header(small, 1);
  write_str_pair(small, "type", "frame");
  mp::write_str(large, std::string(70'000, 'v'));  // a str 32 header: not a fixstr
  env.frames["native_7"] = {small, large, small};
  env.frames["native_9"] = {};
  env.threads.emplace("native_7", ThreadRef::of(test::get(env.ns, "main").get()));
  env.threads.emplace("native_9", ThreadRef::of(test::get(env.ns, "negative").get()));
  // As Env::build() makes them.
  const HostFacts host = collect_host_facts(env.config, true);
  TraceParts parts{env.frames, env.threads, "trc_1", env.name, "cli",
                   "native_7", host,        "trc_0", 1.0};
  const DocumentFacts facts = collect_document_facts(parts);
  FramesByThread frames = env.frames;
  Ref doc = write_document(facts, records_in(frames), return_free_memory);
  EXPECT_EQ(frames["native_7"][1].capacity(), Bytes().capacity());  // given back
  EXPECT_TRUE(view(doc) == view(env.build()));  // the same bytes, records left in place

  std::optional<FramesByThread> read = document_records(view(doc));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->at("native_7"), env.frames["native_7"]);
  EXPECT_EQ(read->at("native_9"), RecordList{});
  // Anything short of a whole document is no document.
  const std::string bytes(view(doc));
  EXPECT_FALSE(document_records(bytes.substr(0, bytes.size() - 1)));
  EXPECT_FALSE(document_records(bytes + '\xc0'));
  EXPECT_FALSE(document_records("\x91\x01"));
}

int trims = 0;
void count_trim() noexcept { ++trims; }

TEST(TraceDocument, MemoryIsTrimmedEvery64MiBAndAtAnEndOf8MiBOrMore) {
  Env env;
  env.threads.emplace("native_7", ThreadRef::of(test::get(env.ns, "main").get()));
  const HostFacts host = collect_host_facts(env.config, true);
  auto trims_of = [&](size_t records, size_t each) {
    Bytes record;
    mp::write_str(record, std::string(each, 'v'));
    env.frames["native_7"] = RecordList(records, record);
    TraceParts parts{env.frames, env.threads, "trc_1", env.name, "cli",
                     "native_7", host,        "trc_0", 1.0};
    const DocumentFacts facts = collect_document_facts(parts);
    trims = 0;
    write_document(facts, records_in(env.frames), count_trim);
    return trims;
  };
  // a small trace's freed records are left to the next trace's
  EXPECT_EQ(trims_of(100, 10'000), 0);
  EXPECT_EQ(trims_of(9, 1 << 20), 1);
  // after 64 MiB, then the rest of 8 MiB or more
  EXPECT_EQ(trims_of(70, 1 << 20), 1);
  EXPECT_EQ(trims_of(74, 1 << 20), 2);
}

}  // namespace
}  // namespace vask
