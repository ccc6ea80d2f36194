// The trace being recorded, shared by both engines: every thread's records
// and thread object behind one mutex, the trace's ids and name, and what a
// build takes out of it and puts back when storing fails.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config.hpp"
#include "core/memory_budget.hpp"
#include "support/gil_mutex.hpp"
#include "support/py.hpp"
#include "utils/records.hpp"

namespace vask {

// Facts of the run, fixed at construction.
struct TraceSettings {
  // Handed to vask.db.save_trace as a pathlib.Path; kept as the file system
  // names it (fs_encode), so that an undecodable name finds the same file.
  std::string db_path;
  std::string source;
  std::string main_thread_id;  // identity of the thread that built the engine
  // The name the trace starts with, and each test's trace after it.
  std::optional<std::string> default_trace_name;
  uint64_t sqlite_busy_timeout = 60;
  bool use_monitoring = false;
  // Configuration "max_trace_mb": once a trace holds this many bytes of
  // records (those of its flushed subtrees too), new calls are left out of
  // it and counted; nullopt records everything.
  std::optional<uint64_t> max_trace_bytes;
};

// Calls of one thread left out of the trace since it reached its size limit.
struct DroppedCalls {
  uint64_t count = 0;
  double since = 0;  // when the first was left out
  ThreadRef thread;  // entered into the trace's threads with the count's marker
};

// Records a thread holds back from its list until its trace is taken (what
// it folded at its top level, counted until then). Each keeps its own
// mutex, a leaf taken under the buffers' mutex.
class HeldRecords {
 public:
  virtual ~HeldRecords() = default;
  // Moves the held records of the trace being taken into `records`, with the
  // identity and the thread they belong to, and starts afresh.
  // References it lets go of go to `released`, dropped by the caller once
  // the buffers' mutex is released. GIL held.
  virtual void take(std::string& thread_id, ThreadRef& thread, RecordList& records,
                    std::vector<Ref>& released) = 0;
  // Starts afresh without records (a test's trace starts: what came before
  // it is dropped), letting go as take() does.
  virtual void clear(std::vector<Ref>& released) = 0;
};

// What the buffers' mutex guards.
struct Buffers {
  FramesByThread frames;  // thread identity -> records, in recording order
  // Thread identity -> thread, for every thread whose records are in
  // `frames` (entered with its first records of each epoch). The thread
  // objects are not kept alive: a finished thread's object goes when the
  // program lets go of it, and its facts stay.
  ThreadMap threads;
  // Advanced whenever positions in `frames` stop pointing at the records they
  // pointed at: the records are taken out, put back in front of newer ones,
  // or dropped at a test start. Whatever a thread noted in an older epoch
  // (byte counts, open subtrees, its entry in `threads`) is void. Starts at 1,
  // so that 0 never matches.
  uint64_t epoch = 1;
  // What `frames` costs the process.
  CountedMemory memory;
  // Encoded bytes recorded in the current trace, flushed ones included;
  // counted only with a size limit.
  uint64_t trace_bytes = 0;
  // Thread identity -> calls left out of the current trace.
  StringMap<DroppedCalls> dropped;
  // Every thread's held records, written at the end of its list by a take.
  std::vector<std::shared_ptr<HeldRecords>> held;
};
using BuffersLock = Guarded<Buffers>::Locked;

// The trace lock, and the thread that holds it. Python code runs on the
// holder while it is held (the store of a flushed subtree), and a signal
// handler there may ask for a save: taking the lock again on that thread
// would wait for itself forever, so it raises RuntimeError instead.
class TraceMutex {
 public:
  void lock();
  void unlock() noexcept;

 private:
  GilMutex mutex_;
  std::atomic<uint64_t> holder_{0};  // the holder's thread token; 0: none
};

// Proof, in a signature, that the trace lock is held.
class TraceLock {
 public:
  // Throws PyErrSet (RuntimeError) when the calling thread holds it already.
  explicit TraceLock(TraceMutex& mutex) : lock_(mutex) {}

 private:
  std::unique_lock<TraceMutex> lock_;
};

class TraceBuffer {
 public:
  // What a build takes out: the records and thread objects, and the ids they
  // were recorded under.
  struct Taken {
    FramesByThread frames;
    ThreadMap threads;
    std::string trace_id;
    std::string root_trace_id;
  };

  // Where an append left the thread's list.
  struct Appended {
    // The thread's list, valid for the same hold of the buffers' mutex.
    const RecordList* list = nullptr;
    uint64_t old_length = 0;
    // A thread replaced under the same identity: the caller lets go of it
    // once the buffers' mutex is released (dropping a strongly held object
    // may run code).
    ThreadRef replaced;
  };

  TraceBuffer(TraceSettings settings, Config config, std::string trace_id, double timestamp);
  TraceBuffer(const TraceBuffer&) = delete;
  TraceBuffer& operator=(const TraceBuffer&) = delete;
  ~TraceBuffer();  // GIL held

  const TraceSettings& settings() const noexcept { return settings_; }
  const Config& config() const noexcept { return config_; }

  // Lock order, the order in which the code takes them: the trace lock, then
  // the buffers' mutex, then one of the subtree flusher's mutexes. The
  // mutexes of the ids, the name, the timestamp and the unsaved traces are
  // leaves: nothing else is taken while one of them is held.
  TraceLock lock_trace() { return TraceLock(trace_lock_); }
  BuffersLock lock_buffers() { return buffers_.lock(); }

  std::string trace_id() { return *trace_id_.lock(); }
  std::string root_trace_id() { return *root_trace_id_.lock(); }
  double timestamp() { return *timestamp_.lock(); }
  void set_timestamp(double value) { *timestamp_.lock() = value; }

  // Voids every position noted in the current epoch (the subtree flusher's
  // open subtrees and byte counts, the threads' entries): the buffers' mutex
  // is held, and the records are about to move.
  static void reset_subtree_tracking(BuffersLock& buffers) noexcept { ++buffers->epoch; }

  // Moves records [begin, end) to the end of the thread's list and counts
  // them (the process's memory, the trace's size). The thread is entered
  // for the current epoch unless `entered_epoch` (the thread's own note)
  // says it already is.
  Appended append(BuffersLock& buffers, const std::string& thread_id, const ThreadRef& thread,
                  uint64_t& entered_epoch, RecordList& records, size_t begin, size_t end);
  // Records of the buffers that cost `before` were replaced by ones that cost
  // `after` (a cut, a put-back): counts the difference.
  static void change_memory(BuffersLock& buffers, uint64_t before, uint64_t after) noexcept;

  // Whether the trace reached its size limit: new calls are left out. Read
  // without a lock on every call event.
  bool over_size_limit() const noexcept { return over_size_limit_.load(std::memory_order_relaxed); }
  // Which trace the records made now belong to: advanced by every take and
  // every test start, so that what is counted per trace (the fold budget)
  // starts afresh. Read without a lock on every call event.
  uint64_t trace_serial() const noexcept { return trace_serial_.load(std::memory_order_relaxed); }
  // A call left out of the trace on `thread`, counted for the marker that
  // stands for it. GIL held.
  void count_dropped_call(const std::string& thread_id, const ThreadRef& thread);
  // Records `held` keeps back are written into each trace taken from now on,
  // after its thread's records and before its "calls_dropped" marker.
  void hold_records(std::shared_ptr<HeldRecords> held) {
    buffers_.lock()->held.push_back(std::move(held));
  }

  // The buffers and ids, taken out together; the buffers start afresh. Each
  // thread's held records follow its own, and a thread that left calls out
  // gets its "calls_dropped" marker last.
  Taken take_trace(const TraceLock& trace);
  // Puts taken records back in front of anything recorded since. When a test
  // started meanwhile they belong to the trace before it and are kept to be
  // stored on their own by the next save. Takes the trace lock.
  void restore(Taken taken);
  // The trace document of taken records (name, metadata, threads). With
  // `release`, the records are given back while they are copied (they can be
  // read back from the document: document_records()). Throws PyErrSet with
  // the records untouched. With `table`, the document's records' table (see
  // write_document) is made too.
  Ref build_document(Taken& taken, bool release, Ref* table = nullptr);
  // vask.db.save_trace(trace_id, timeout=..., msgpack_data=document,
  // db_path=pathlib.Path(...)): exactly these keywords, in this order. The
  // host decides whether the store waits for the database (a store made
  // while the program records never does). `table` (borrowed, may be null),
  // the document's records' table, is what vask._dump._document_table gives
  // for the document while save_trace runs (see scan::kHandedTableKey).
  // Throws PyErrSet.
  void store_document(const std::string& trace_id, PyObject* document, PyObject* table = nullptr);

  // The document of everything recorded since the last build. When building
  // fails, the records are put back and the error is thrown.
  Ref build_trace_inner();
  // Stores the traces of earlier tests whose store failed, then the document
  // of everything recorded since the last build.
  // When a store fails, what it held is put back (ahead of anything recorded
  // since) and the error is thrown: nothing is lost.
  void save_in_db();

  // A test starts: a new trace id (also the root id), the default name, the
  // switch's time as the trace's start, and the records of every thread
  // dropped, unless they hold a test whose store failed, which is kept for
  // the next save.
  void start_new_test_trace(const TraceLock& trace);
  // The buffers hold the records of a test whose store failed (they were put
  // back); the next test start keeps them instead of dropping them.
  void keep_restored_test() noexcept { restored_test_records_.store(true); }

  // The trace name of taken records: the explicit name, else one derived
  // from the main thread's records.
  std::optional<std::string> trace_name_for_thread(const FramesByThread& frames,
                                                   std::string_view thread_id);
  // The name of the trace being recorded, as a build would resolve it now.
  std::optional<std::string> current_name(BuffersLock& buffers) {
    return trace_name_for_thread(buffers->frames, settings_.main_thread_id);
  }

 private:
  // The records of a document this buffer wrote, back in `taken` in place of
  // the released ones.
  static void recover_records(Taken& taken, PyObject* document);

  const TraceSettings settings_;
  const Config config_;

  TraceMutex trace_lock_;  // serialises builds, flush cuts and test switches
  Guarded<Buffers> buffers_;
  Guarded<std::string> trace_id_;
  Guarded<std::string> root_trace_id_;
  Guarded<std::optional<std::string>> trace_name_;
  Guarded<double> timestamp_;
  // Traces of earlier tests that could not be stored when they ended, kept
  // to be stored before the next trace is.
  Guarded<std::vector<Taken>> unsaved_;
  // True while the buffers hold records of a test whose store failed.
  std::atomic<bool> restored_test_records_{false};
  // Set once the buffers' trace_bytes reach settings_.max_trace_bytes;
  // written under the buffers' mutex.
  std::atomic<bool> over_size_limit_{false};
  // Advanced under the buffers' mutex; starts at 1, so that 0 never matches.
  std::atomic<uint64_t> trace_serial_{1};
};

}  // namespace vask
