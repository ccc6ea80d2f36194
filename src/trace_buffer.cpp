#include "trace_buffer.hpp"

#include <utility>

#include "support/per_thread.hpp"
#include "utils/ids.hpp"
#include "utils/naming.hpp"
#include "utils/trace.hpp"

namespace vask {

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

TraceBuffer::Appended TraceBuffer::append(BuffersLock& buffers, const std::string& thread_id,
                                          PyObject* thread, uint64_t& entered_epoch,
                                          RecordList& records, size_t begin, size_t end) {
  Appended result;
  RecordList& list = buffers->frames[thread_id];
  result.old_length = list.size();
  list.insert(list.end(), std::make_move_iterator(records.begin() + begin),
              std::make_move_iterator(records.begin() + end));
  // Entered under the same hold as the append: a build takes records and
  // thread objects out together, so a document never holds records whose
  // thread it lacks.
  if (entered_epoch != buffers->epoch) {
    auto [it, inserted] = buffers->threads.try_emplace(thread_id);
    if (it->second.get() != thread)
      result.replaced = std::exchange(it->second, Ref::incref(thread));
    entered_epoch = buffers->epoch;
  }
  return result;
}

TraceBuffer::Taken TraceBuffer::take_trace(const TraceLock&) {
  Taken taken;
  {
    auto buffers = buffers_.lock();
    taken.frames = std::exchange(buffers->frames, {});
    taken.threads = std::exchange(buffers->threads, {});
    reset_subtree_tracking(buffers);
  }
  taken.trace_id = *trace_id_.lock();
  taken.root_trace_id = *root_trace_id_.lock();
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
    for (auto& [key, old_records] : taken.frames) {
      RecordList& current = buffers->frames[key];
      old_records.insert(old_records.end(), std::make_move_iterator(current.begin()),
                         std::make_move_iterator(current.end()));
      current = std::move(old_records);
    }
    for (auto& [key, thread] : taken.threads) buffers->threads.try_emplace(key, std::move(thread));
  }
  // Thread objects not moved back are released when `taken` goes, outside the
  // mutexes.
}

std::optional<std::string> TraceBuffer::trace_name_for_thread(const FramesByThread& frames,
                                                              std::string_view thread_id) {
  auto name = trace_name_.lock();
  return resolve_trace_name(*name, frames, thread_id);
}

Ref TraceBuffer::build_document(const Taken& taken) {
  std::optional<std::string> name = trace_name_for_thread(taken.frames, settings_.main_thread_id);
  const double started = timestamp();
  TraceParts parts{taken.frames,
                   taken.threads,
                   taken.trace_id,
                   name,
                   settings_.source,
                   settings_.main_thread_id,
                   config_,
                   settings_.use_monitoring,
                   taken.root_trace_id,
                   started};
  return build_trace_from_parts(parts);
}

void TraceBuffer::store_document(const std::string& trace_id, PyObject* document) {
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
  Ref::check(PyObject_Call(save_trace.get(), args.get(), kwargs.get()));
}

template <class F>
auto TraceBuffer::restoring_on_failure(Taken& taken, F&& work) {
  try {
    return work();
  } catch (...) {
    rethrow_if_forced_unwind();
    // A build or store that fails (a locked or unwritable database) must not
    // lose the trace: the records go back in front of anything recorded
    // meanwhile, so that a later save stores them.
    {
      ErrorStash keep;
      restore(std::move(taken));
    }
    throw;
  }
}

Ref TraceBuffer::build_trace_inner() {
  Taken taken = take_trace(lock_trace());
  return restoring_on_failure(taken, [&] { return build_document(taken); });
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
      Ref document = build_document(next);
      store_document(next.trace_id, document.get());
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
  restoring_on_failure(taken, [&] {
    Ref document = build_document(taken);
    store_document(taken.trace_id, document.get());
  });
}

void TraceBuffer::start_new_test_trace(const TraceLock&) {
  Taken unsaved_test;
  const bool keep_unsaved = restored_test_records_.exchange(false);
  {
    auto buffers = buffers_.lock();
    unsaved_test.frames = std::exchange(buffers->frames, {});
    if (keep_unsaved) {
      // The buffers still hold a test whose save failed: its records are
      // kept to be stored again instead of being discarded with the buffers.
      for (auto& [key, thread] : buffers->threads) {
        unsaved_test.threads.try_emplace(key, thread.copy());
      }
    }
    reset_subtree_tracking(buffers);
  }
  const std::string new_id = new_trace_id();
  unsaved_test.trace_id = std::exchange(*trace_id_.lock(), new_id);
  unsaved_test.root_trace_id = std::exchange(*root_trace_id_.lock(), new_id);
  *trace_name_.lock() = settings_.default_trace_name;
  if (keep_unsaved) unsaved_.lock()->push_back(std::move(unsaved_test));
  // Otherwise the dropped records go with `unsaved_test`, outside the mutexes.
}

}  // namespace vask
