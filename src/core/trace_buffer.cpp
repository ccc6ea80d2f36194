#include "core/trace_buffer.hpp"

#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "core/host_facts.hpp"
#include "core/memory_budget.hpp"
#include "scan/call_rows.hpp"
#include "support/per_thread.hpp"
#include "utils/ids.hpp"
#include "utils/msgpack_write.hpp"
#include "utils/naming.hpp"
#include "utils/trace.hpp"

namespace vask {
namespace {

// What every record of the buffers costs the process, computed afresh.
uint64_t buffers_memory(const FramesByThread& frames) noexcept {
  uint64_t total = 0;
  for (const auto& [key, list] : frames) {
    total += list_memory(list) + records_memory(list, 0, list.size());
  }
  return total;
}

uint64_t encoded_size(const FramesByThread& frames) noexcept {
  uint64_t total = 0;
  for (const auto& [key, list] : frames) {
    for (const Bytes& record : list) total += record.size();
  }
  return total;
}

// The marker that stands for the calls a thread left out of a trace.
Bytes calls_dropped_marker(const DroppedCalls& dropped, uint64_t max_trace_bytes, double now) {
  Bytes out;
  mp::write_map_header(out, 5);
  write_str_pair(out, "type", "calls_dropped");
  write_int_pair(out, "count", dropped.count);
  write_int_pair(out, "max_trace_bytes", max_trace_bytes);
  mp::write_str(out, "since");
  mp::write_f64(out, dropped.since);
  write_f64_pair(out, now);
  return out;
}

std::string_view bytes_view(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

}  // namespace

void TraceMutex::lock() {
  const uint64_t me = detail::current_thread_token();
  if (holder_.load(std::memory_order_relaxed) == me) {
    PyErr_SetString(PyExc_RuntimeError,
                    "vask cannot save or switch the trace from code that runs while this "
                    "thread stores a part of it (a signal handler, a finalizer); try again "
                    "once that store is done");
    throw_py();
  }
  mutex_.lock();
  holder_.store(me, std::memory_order_relaxed);
}

void TraceMutex::unlock() noexcept {
  holder_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
}

TraceBuffer::TraceBuffer(TraceSettings settings, Config config, std::string trace_id,
                         double timestamp)
    : settings_(std::move(settings)),
      config_(std::move(config)),
      trace_id_(trace_id),
      root_trace_id_(std::move(trace_id)),
      trace_name_(settings_.default_trace_name),
      timestamp_(timestamp) {}

TraceBuffer::~TraceBuffer() {
  // The process stops counting what this engine held.
  buffers_.lock()->memory.release();
}

void TraceBuffer::change_memory(BuffersLock& buffers, uint64_t before, uint64_t after) noexcept {
  buffers->memory.change(before, after);
}

TraceBuffer::Appended TraceBuffer::append(BuffersLock& buffers, const std::string& thread_id,
                                          const ThreadRef& thread, uint64_t& entered_epoch,
                                          RecordList& records, size_t begin, size_t end) {
  Appended result;
  auto [slot, created] = buffers->frames.try_emplace(thread_id);
  RecordList& list = slot->second;
  result.list = &list;
  const uint64_t before = created ? 0 : list_memory(list);
  result.old_length = list.size();
  list.insert(list.end(), std::make_move_iterator(records.begin() + begin),
              std::make_move_iterator(records.begin() + end));
  change_memory(buffers, before,
                list_memory(list) + records_memory(list, result.old_length, list.size()));
  if (settings_.max_trace_bytes) {
    for (size_t i = result.old_length; i < list.size(); ++i) buffers->trace_bytes += list[i].size();
    if (buffers->trace_bytes >= *settings_.max_trace_bytes) {
      over_size_limit_.store(true, std::memory_order_relaxed);
    }
  }
  // Entered under the same hold as the append: a build takes records and
  // thread objects out together, so a document never holds records whose
  // thread it lacks.
  if (entered_epoch != buffers->epoch) {
    auto [it, inserted] = buffers->threads.try_emplace(thread_id);
    if (it->second != thread) result.replaced = std::exchange(it->second, thread);
    entered_epoch = buffers->epoch;
  }
  return result;
}

void TraceBuffer::count_dropped_call(const std::string& thread_id, const ThreadRef& thread) {
  const double now = vask::timestamp();
  ThreadRef replaced;  // let go of once the mutex is released
  auto buffers = buffers_.lock();
  DroppedCalls& dropped = buffers->dropped[thread_id];
  if (dropped.count++ == 0) dropped.since = now;
  if (dropped.thread != thread) replaced = std::exchange(dropped.thread, thread);
}

TraceBuffer::Taken TraceBuffer::take_trace(const TraceLock&) {
  Taken taken;
  StringMap<DroppedCalls> dropped;
  std::vector<Ref> released;  // dropped once the mutex is released
  {
    auto buffers = buffers_.lock();
    for (const std::shared_ptr<HeldRecords>& held : buffers->held) {
      std::string thread_id;
      ThreadRef thread;
      RecordList records;
      held->take(thread_id, thread, records, released);
      if (records.empty() || thread_id.empty() || !thread) continue;
      RecordList& list = buffers->frames[thread_id];
      // Before a last record that names the trace (a test's end, a
      // response): readers find those last.
      auto at = list.end();
      if (!list.empty()) {
        const std::optional<std::string> type = record_string_field(list.back(), "type");
        if (type == "end_test" || type == "django_response") --at;
      }
      list.insert(at, std::make_move_iterator(records.begin()),
                  std::make_move_iterator(records.end()));
      buffers->threads.try_emplace(thread_id, std::move(thread));
    }
    if (!buffers->dropped.empty()) {
      const double now = vask::timestamp();
      for (auto& [key, calls] : buffers->dropped) {
        Bytes marker = calls_dropped_marker(calls, settings_.max_trace_bytes.value_or(0), now);
        RecordList& list = buffers->frames[key];
        list.push_back(std::move(marker));
        buffers->threads.try_emplace(key, calls.thread);
      }
      dropped = std::exchange(buffers->dropped, {});
    }
    taken.frames = std::exchange(buffers->frames, {});
    taken.threads = std::exchange(buffers->threads, {});
    buffers->memory.release();
    buffers->trace_bytes = 0;
    over_size_limit_.store(false, std::memory_order_relaxed);
    trace_serial_.fetch_add(1, std::memory_order_relaxed);
    reset_subtree_tracking(buffers);
  }
  taken.trace_id = *trace_id_.lock();
  taken.root_trace_id = *root_trace_id_.lock();
  // `dropped` lets go of its thread objects on the way out, outside the
  // mutexes.
  return taken;
}

void TraceBuffer::restore(Taken taken) {
  TraceLock trace = lock_trace();
  if (*trace_id_.lock() != taken.trace_id) {
    // A test started meanwhile: these records belong to the trace before it
    // and are kept to be stored on their own.
    unsaved_.lock()->push_back(std::move(taken));
    return;
  }
  {
    auto buffers = buffers_.lock();
    // Positions noted since the take count from the start of the fresh
    // buffers; once the old records are in front they would point at the
    // wrong records, so every note of the epoch is void.
    reset_subtree_tracking(buffers);
    if (settings_.max_trace_bytes) {
      buffers->trace_bytes += encoded_size(taken.frames);
      if (buffers->trace_bytes >= *settings_.max_trace_bytes) {
        over_size_limit_.store(true, std::memory_order_relaxed);
      }
    }
    for (auto& [key, old_records] : taken.frames) {
      RecordList& current = buffers->frames[key];
      old_records.insert(old_records.end(), std::make_move_iterator(current.begin()),
                         std::make_move_iterator(current.end()));
      current = std::move(old_records);
    }
    for (auto& [key, thread] : taken.threads) buffers->threads.try_emplace(key, std::move(thread));
    change_memory(buffers, buffers->memory.bytes(), buffers_memory(buffers->frames));
  }
  // Thread objects not moved back are released when `taken` goes, outside the
  // mutexes.
}

std::optional<std::string> TraceBuffer::trace_name_for_thread(const FramesByThread& frames,
                                                              std::string_view thread_id) {
  auto name = trace_name_.lock();
  return resolve_trace_name(*name, frames, thread_id);
}

namespace {

// Publishes a document's records' table for the length of one save_trace
// call, in the interpreter's per-thread dict (under kHandedTableKey, as
// (document, table)), where vask._dump._document_table finds it: the two
// extension modules share no native state, and the calls into the package
// are fixed. A store within the call (a save from a signal handler) hands
// its own and puts the entry before it back. GIL held.
class HandedScope {
 public:
  HandedScope(PyObject* document, PyObject* table) {
    if (table == nullptr) return;
    dict_ = PyThreadState_GetDict();  // borrowed; null only without a thread state
    if (dict_ == nullptr) return;
    PyObject* before = PyDict_GetItemString(dict_, scan::kHandedTableKey);  // borrowed
    saved_ = before != nullptr ? Ref::incref(before) : Ref();
    Ref entry = Ref::check(PyTuple_Pack(2, document, table));
    if (PyDict_SetItemString(dict_, scan::kHandedTableKey, entry.get()) < 0) throw_py();
    set_ = true;
  }
  ~HandedScope() {
    if (!set_) return;
    ErrorStash keep;  // the call's own error, if any, stays the one raised
    const int done = saved_ ? PyDict_SetItemString(dict_, scan::kHandedTableKey, saved_.get())
                            : PyDict_DelItemString(dict_, scan::kHandedTableKey);
    if (done < 0) PyErr_Clear();  // the entry was taken by someone else: nothing to put back
  }
  HandedScope(const HandedScope&) = delete;
  HandedScope& operator=(const HandedScope&) = delete;

 private:
  PyObject* dict_ = nullptr;
  Ref saved_;
  bool set_ = false;
};

}  // namespace

Ref TraceBuffer::build_document(Taken& taken, bool release, Ref* table) {
  std::optional<std::string> name = trace_name_for_thread(taken.frames, settings_.main_thread_id);
  const double started = timestamp();
  const HostFacts host = collect_host_facts(config_, settings_.use_monitoring);
  TraceParts parts{taken.frames, taken.threads,       taken.trace_id,
                   name,         settings_.source,    settings_.main_thread_id,
                   host,         taken.root_trace_id, started};
  const DocumentFacts facts = collect_document_facts(parts);
  return write_document(facts, records_in(taken.frames), release ? return_free_memory : nullptr,
                        table);
}

void TraceBuffer::recover_records(Taken& taken, PyObject* document) {
  std::optional<FramesByThread> records = document_records(bytes_view(document));
  if (!records) fault("a trace document written here cannot be read back");
  taken.frames = std::move(*records);
}

void TraceBuffer::store_document(const std::string& trace_id, PyObject* document, PyObject* table) {
  Ref kwargs = Ref::check(PyDict_New());
  Ref timeout = Ref::check(PyLong_FromUnsignedLongLong(settings_.sqlite_busy_timeout));
  if (PyDict_SetItemString(kwargs.get(), "timeout", timeout.get()) < 0) throw_py();
  if (PyDict_SetItemString(kwargs.get(), "msgpack_data", document) < 0) throw_py();
  Ref pathlib = import("pathlib");
  Ref path_type = getattr(pathlib.get(), "Path");
  Ref path = call(path_type.get(), fs_decode(settings_.db_path).get());
  if (PyDict_SetItemString(kwargs.get(), "db_path", path.get()) < 0) throw_py();
  Ref db = import("vask.db");
  Ref save_trace = getattr(db.get(), "save_trace");
  Ref args = Ref::check(PyTuple_Pack(1, make_str(trace_id).get()));
  const HandedScope handed(document, table);
  Ref::check(PyObject_Call(save_trace.get(), args.get(), kwargs.get()));
}

Ref TraceBuffer::build_trace_inner() {
  Taken taken = take_trace(lock_trace());
  try {
    return build_document(taken, true);
  } catch (...) {
    rethrow_if_forced_unwind();
    // Nothing was released: a build fails before the first record is copied.
    {
      ErrorStash keep;
      restore(std::move(taken));
    }
    throw;
  }
}

void TraceBuffer::save_in_db() {
  // Tests whose traces could not be stored earlier go first, in order.
  for (;;) {
    Taken next;
    {
      auto unsaved = unsaved_.lock();
      if (unsaved->empty()) break;
      next = std::move(unsaved->front());
      unsaved->erase(unsaved->begin());
    }
    try {
      Ref table;
      Ref document = build_document(next, false, &table);
      store_document(next.trace_id, document.get(), table.get());
    } catch (...) {
      rethrow_if_forced_unwind();
      {
        ErrorStash keep;
        auto unsaved = unsaved_.lock();
        unsaved->insert(unsaved->begin(), std::move(next));
      }
      throw;
    }
  }

  Taken taken = take_trace(lock_trace());
  Ref document;
  Ref table;
  try {
    document = build_document(taken, true, &table);
  } catch (...) {
    rethrow_if_forced_unwind();
    ErrorStash keep;
    restore(std::move(taken));
    throw;
  }
  try {
    store_document(taken.trace_id, document.get(), table.get());
  } catch (...) {
    // A store that fails (the database and every place for a side file
    // refused it) must not lose the trace: its records, read back from the
    // document, go back in front of anything recorded meanwhile, so that a
    // later save stores them.
    rethrow_if_forced_unwind();
    ErrorStash keep;
    recover_records(taken, document.get());
    document = Ref();
    restore(std::move(taken));
    throw;
  }
}

void TraceBuffer::start_new_test_trace(const TraceLock&) {
  Taken unsaved_test;
  StringMap<DroppedCalls> dropped;
  std::vector<Ref> released;  // dropped once the mutex is released
  const bool keep_unsaved = restored_test_records_.exchange(false);
  const double now = vask::timestamp();
  {
    auto buffers = buffers_.lock();
    for (const std::shared_ptr<HeldRecords>& held : buffers->held) held->clear(released);
    trace_serial_.fetch_add(1, std::memory_order_relaxed);
    unsaved_test.frames = std::exchange(buffers->frames, {});
    if (keep_unsaved) {
      // The buffers still hold a test whose save failed: its records are
      // kept to be stored again instead of being discarded with the buffers.
      for (auto& [key, thread] : buffers->threads) {
        unsaved_test.threads.try_emplace(key, thread);
      }
    }
    buffers->memory.release();
    dropped = std::exchange(buffers->dropped, {});
    buffers->trace_bytes = 0;
    over_size_limit_.store(false, std::memory_order_relaxed);
    reset_subtree_tracking(buffers);
  }
  const std::string new_id = new_trace_id();
  unsaved_test.trace_id = std::exchange(*trace_id_.lock(), new_id);
  unsaved_test.root_trace_id = std::exchange(*root_trace_id_.lock(), new_id);
  *trace_name_.lock() = settings_.default_trace_name;
  // Each test's trace starts when the test does, not when tracing did.
  set_timestamp(now);
  if (keep_unsaved) unsaved_.lock()->push_back(std::move(unsaved_test));
  // Otherwise the dropped records go with `unsaved_test`, outside the mutexes.
}

}  // namespace vask
