#include "subtree_flush.hpp"

#include <algorithm>
#include <cmath>

#include "core/host_facts.hpp"
#include "utils/ids.hpp"
#include "utils/msgpack_write.hpp"
#include "utils/naming.hpp"
#include "utils/trace.hpp"

namespace vask {

namespace {

constexpr const char* kNotANumber = "flush_subtree_mb must be a non-negative number or false";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMinTriggerSlack = 64 * kMiB;
// 2^64 as a double: the first value that no longer fits an unsigned 64-bit
// integer (every double below it truncates to one that does).
constexpr double kTwoTo64 = 18446744073709551616.0;

[[noreturn]] void value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw_py();
}

}  // namespace

namespace {

// A megabyte setting of the configuration dict: absent gives `absent`,
// None/False disable (nullopt).
std::optional<uint64_t> resolve_mb(PyObject* config, const char* key,
                                   std::optional<uint64_t> absent,
                                   const std::string& not_a_number) {
  if (!PyDict_Check(config)) {
    conversion_error(config, "PyDict");
  }
  Ref key_ref = make_str(key);
  PyObject* value = PyDict_GetItemWithError(config, key_ref.get());  // borrowed
  if (value == nullptr) {
    if (PyErr_Occurred()) throw_py();
    return absent;
  }
  if (value == Py_None || value == Py_False) return std::nullopt;
  if (value == Py_True) {
    value_error(std::string(key) +
                " = true is not valid; use false to disable or a non-negative number to set the "
                "threshold");
  }
  double mb = 0.0;
  if (PyFloat_CheckExact(value)) {
    mb = PyFloat_AS_DOUBLE(value);
  } else {
    // Keep the reference alive: the float protocol may run Python code that
    // drops the dict's own.
    Ref hold = Ref::incref(value);
    mb = PyFloat_AsDouble(hold.get());
    if (mb == -1.0 && PyErr_Occurred()) {
      // The reason (a str, an int too large for a float) is replaced by the
      // one message that tells the user what the setting accepts.
      PyErr_Clear();
      value_error(not_a_number);
    }
  }
  if (!std::isfinite(mb) || mb < 0.0) value_error(not_a_number);
  const double bytes = mb * static_cast<double>(kMiB);
  if (bytes >= kTwoTo64) value_error(std::string(key) + " is too large for this platform");
  return static_cast<uint64_t>(bytes);
}

}  // namespace

std::optional<uint64_t> resolve_flush_subtree_bytes(PyObject* config) {
  return resolve_mb(config, "flush_subtree_mb", kDefaultFlushSubtreeBytes, kNotANumber);
}

std::optional<uint64_t> resolve_megabytes(PyObject* config, const char* key) {
  return resolve_mb(config, key, std::nullopt,
                    std::string(key) + " must be a non-negative number or false");
}

uint64_t flush_trigger_bytes(std::optional<uint64_t> flush_subtree_bytes) noexcept {
  if (!flush_subtree_bytes || *flush_subtree_bytes < kMiB) return 0;
  const uint64_t threshold = *flush_subtree_bytes;
  const uint64_t slack = std::max(threshold >> 3, kMinTriggerSlack);
  return threshold > slack ? threshold - slack : 0;
}

uint64_t min_cut_bytes(uint64_t limit) noexcept { return limit >> 6; }

uint64_t rearm_step_bytes(uint64_t threshold) noexcept {
  return std::max<uint64_t>(threshold >> 3, 1);
}

OpenSubtreeStack& stack_for_thread(OpenSubtrees& open_subtrees, std::string_view thread_id) {
  auto it = open_subtrees.find(thread_id);
  if (it == open_subtrees.end()) {
    it = open_subtrees.emplace(std::string(thread_id), OpenSubtreeStack{}).first;
    it->second.push_back(OpenSubtree{"<root>", std::nullopt, 0, 0});
  }
  if (it->second.empty()) fault("root sentinel missing");
  return it->second;
}

void push_open_subtree(OpenSubtrees& open_subtrees, std::string_view thread_id,
                       OpenSubtree subtree) {
  stack_for_thread(open_subtrees, thread_id).push_back(std::move(subtree));
}

std::optional<OpenSubtree> pop_open_subtree(OpenSubtrees& open_subtrees,
                                            std::string_view thread_id) {
  auto it = open_subtrees.find(thread_id);
  if (it == open_subtrees.end() || it->second.size() <= 1) return std::nullopt;
  OpenSubtree top = std::move(it->second.back());
  it->second.pop_back();
  return top;
}

void clear_flush_candidate(OpenSubtrees& open_subtrees, std::string_view thread_id,
                           size_t stack_index) {
  auto it = open_subtrees.find(thread_id);
  if (it == open_subtrees.end() || stack_index >= it->second.size()) return;
  it->second[stack_index].candidate.reset();
}

void record_closed_segment(OpenSubtrees& open_subtrees, std::string_view thread_id, uint64_t start,
                           uint64_t end, uint64_t bytes, std::string co_name) {
  if (bytes == 0) return;
  OpenSubtree& parent = stack_for_thread(open_subtrees, thread_id).back();
  std::optional<FlushCandidate>& candidate = parent.candidate;
  if (candidate && candidate->end == start) {
    candidate->end = end;
    candidate->bytes += bytes;
    candidate->segment_count += 1;
  } else {
    candidate = FlushCandidate{std::move(co_name), start, end, bytes, 1};
  }
}

std::optional<size_t> largest_candidate(const OpenSubtreeStack& stack, uint64_t min_bytes) {
  std::optional<size_t> best;
  for (size_t i = 0; i < stack.size(); ++i) {
    if (!stack[i].candidate || stack[i].candidate->bytes < min_bytes) continue;
    if (!best || stack[i].candidate->bytes > stack[*best].candidate->bytes) best = i;
  }
  return best;
}

void shift_after_put_back(OpenSubtreeStack& stack, uint64_t start, uint64_t end,
                          uint64_t flushed_bytes, uint64_t marker_bytes) {
  const uint64_t added = end - start - 1;  // one record became the range again
  auto grown = [&](uint64_t bytes) {
    return bytes + flushed_bytes >= marker_bytes ? bytes + flushed_bytes - marker_bytes : 0;
  };
  for (OpenSubtree& entry : stack) {
    if (entry.start_index > start) {
      entry.start_index += added;
      entry.start_bytes = grown(entry.start_bytes);
    }
    if (!entry.candidate) continue;
    FlushCandidate& c = *entry.candidate;
    if (c.start > start) {
      c.start += added;
      c.end += added;
    } else if (c.end > start) {
      c.end += added;  // noted meanwhile, with the marker inside
      c.bytes = grown(c.bytes);
    }
  }
}

void shift_after_flush(OpenSubtreeStack& stack, uint64_t start, uint64_t end,
                       uint64_t flushed_bytes, uint64_t marker_bytes) {
  const uint64_t removed = end - start - 1;  // the range became one record
  for (OpenSubtree& entry : stack) {
    if (entry.start_index >= end) {
      entry.start_index -= removed;
      entry.start_bytes = entry.start_bytes + marker_bytes >= flushed_bytes
                              ? entry.start_bytes + marker_bytes - flushed_bytes
                              : 0;
    }
    if (entry.candidate && entry.candidate->start >= end) {
      entry.candidate->start -= removed;
      entry.candidate->end -= removed;
    }
  }
}

Bytes write_flush_marker(std::string_view frame_id, std::string_view co_name,
                         std::string_view flushed_trace_id, uint64_t flushed_bytes,
                         uint64_t segment_count, double timestamp) {
  Bytes out;
  mp::write_map_header(out, 7);
  write_str_pair(out, "type", "subtree_flushed");
  write_str_pair(out, "frame_id", frame_id);
  write_str_pair(out, "co_name", co_name);
  write_str_pair(out, "flushed_trace_id", flushed_trace_id);
  write_int_pair(out, "flushed_bytes", flushed_bytes);
  write_int_pair(out, "flushed_segment_count", segment_count);
  write_f64_pair(out, timestamp);
  return out;
}

std::string batch_co_name(const RecordList& records, size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i) {
    if (record_string_field(records[i], "type") == std::optional<std::string>("frame")) {
      if (auto name = record_string_field(records[i], "co_name")) return *name;
    }
  }
  for (size_t i = begin; i < end; ++i) {
    if (auto name = record_string_field(records[i], "co_name")) return *name;
  }
  return "<unknown>";
}

// ---- the flusher ------------------------------------------------------------------

namespace {

uint64_t size_of(const RecordList& list, uint64_t begin, uint64_t end) {
  uint64_t total = 0;
  for (uint64_t i = begin; i < end; ++i) total += list[i].size();
  return total;
}

uint64_t saturating_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

bool same_candidate(const FlushCandidate& a, const FlushCandidate& b) {
  return a.start == b.start && a.end == b.end && a.bytes == b.bytes &&
         a.segment_count == b.segment_count;
}

// Sets the thread's flag for the lifetime of the guard: what runs on the
// thread meanwhile (a store's Python code) is not recorded.
struct Suspend {
  bool& flag;
  explicit Suspend(bool& f) : flag(f) { flag = true; }
  ~Suspend() { flag = false; }
  Suspend(const Suspend&) = delete;
  Suspend& operator=(const Suspend&) = delete;
};

}  // namespace

SubtreeFlusher::SubtreeFlusher(TraceBuffer& buffer, std::optional<uint64_t> flush_subtree_bytes,
                               std::optional<uint64_t> memory_budget_bytes, FlushPolicy policy,
                               CutHook* hook)
    : buffer_(buffer),
      flush_subtree_bytes_(flush_subtree_bytes),
      flush_trigger_bytes_(vask::flush_trigger_bytes(flush_subtree_bytes)),
      memory_budget_bytes_(memory_budget_bytes),
      policy_(policy),
      hook_(hook) {}

SubtreeFlusher::Tracked& SubtreeFlusher::current(TrackedLock& tracked, uint64_t epoch) {
  if (tracked->epoch != epoch) {
    // Noted in an older epoch of the buffers: the positions are void.
    tracked->stacks.clear();
    tracked->bytes.clear();
    tracked->rearm.clear();
    tracked->store_failed = false;
    tracked->epoch = epoch;
  }
  return *tracked;
}

bool SubtreeFlusher::budget_due() noexcept {
  if (!memory_budget_bytes_) return false;
  const uint64_t limit = *memory_budget_bytes_;
  const uint64_t used = MemoryBudget::process().used();
  if (used < limit - (limit >> 2)) {
    // Back below the target (calls finished, a trace was stored): the next
    // round is due at the budget itself again.
    if (budget_recheck_.load(std::memory_order_relaxed) != 0) {
      budget_recheck_.store(0, std::memory_order_relaxed);
    }
    return false;
  }
  return used >= limit && used >= budget_recheck_.load(std::memory_order_relaxed);
}

FlushDue SubtreeFlusher::account(BuffersLock& buffers, FlushThreadState& state,
                                 const std::string& thread_id, const RecordList& list,
                                 uint64_t old_length, BatchFrameEvent frame_event) {
  const uint64_t new_length = list.size();
  const uint64_t epoch = buffers->epoch;
  if (state.epoch != epoch) state = FlushThreadState{0, epoch, 0, 0, false};

  uint64_t batch_bytes = 0;
  std::optional<uint64_t> activated_with;
  if (!state.active) {
    // Until the thread has buffered enough to matter, or the process nears
    // its budget, it is counted only every kFlushCountInterval records,
    // which keeps small traces cheap.
    bool activate = memory_budget_bytes_ &&
                    MemoryBudget::process().used() >= tracking_from(*memory_budget_bytes_);
    if (!activate && flush_subtree_bytes_) {
      if (flush_trigger_bytes_ == 0) {
        activate = true;
      } else {
        if (state.next_count == 0) state.next_count = kFlushCountInterval;
        if (new_length >= state.next_count) {
          state.bytes += size_of(list, std::min(state.counted_index, new_length), new_length);
          state.counted_index = new_length;
          state.next_count = new_length + kFlushCountInterval;
          activate = state.bytes >= flush_trigger_bytes_;
        }
      }
    }
    if (!activate) return FlushDue{false, budget_due()};
    state.bytes += size_of(list, std::min(state.counted_index, new_length), new_length);
    state.counted_index = new_length;
    state.active = true;
    activated_with = state.bytes;
  }
  batch_bytes = size_of(list, old_length, new_length);

  FlushDue due;
  {
    auto tracked_lock = open_subtrees_.lock();
    Tracked& tracked = current(tracked_lock, epoch);
    uint64_t& bytes = tracked.bytes[thread_id];
    bytes = activated_with ? *activated_with : bytes + batch_bytes;
    OpenSubtrees& stacks = tracked.stacks;
    switch (frame_event) {
      case BatchFrameEvent::Call:
        push_open_subtree(stacks, thread_id,
                          OpenSubtree{batch_co_name(list, old_length, new_length), std::nullopt,
                                      old_length, saturating_sub(bytes, batch_bytes)});
        break;
      case BatchFrameEvent::Return:
        if (std::optional<OpenSubtree> closed = pop_open_subtree(stacks, thread_id)) {
          record_closed_segment(stacks, thread_id, closed->start_index, new_length,
                                saturating_sub(bytes, closed->start_bytes),
                                std::move(closed->co_name));
        }
        break;
      case BatchFrameEvent::None:
        record_closed_segment(stacks, thread_id, old_length, new_length, batch_bytes,
                              batch_co_name(list, old_length, new_length));
        break;
      case BatchFrameEvent::Boundary:
        break;  // the trace is named by them: they stay in it
    }
    if (flush_subtree_bytes_ && !tracked.store_failed) {
      // A thread stuck above its threshold (on what cannot be cut) is due
      // again only after real growth; below it, the plain threshold holds.
      auto rearm = tracked.rearm.find(thread_id);
      if (bytes < *flush_subtree_bytes_) {
        if (rearm != tracked.rearm.end()) tracked.rearm.erase(rearm);
      } else {
        due.thread = rearm == tracked.rearm.end() || bytes >= rearm->second;
      }
    }
    due.budget = !tracked.store_failed && budget_due();
  }
  return due;
}

void SubtreeFlusher::flush(FlushDue due, FlushThreadState& state, bool& suspended,
                           const std::string& thread_id) {
  // The cut records are gone: their memory goes back to the system once
  // the round is over.
  struct Trim {
    uint64_t cuts_before;
    const std::atomic<uint64_t>& cuts;
    ~Trim() {
      if (cuts.load(std::memory_order_relaxed) != cuts_before) return_free_memory();
    }
  } trim{cuts_.load(std::memory_order_relaxed), cuts_};
  if (due.thread) flush_thread(state, suspended, thread_id);
  if (due.budget) flush_budget(suspended);
}

uint64_t SubtreeFlusher::shared_bytes(const std::string& thread_id) {
  auto tracked = open_subtrees_.lock();
  auto it = tracked->bytes.find(thread_id);
  return it == tracked->bytes.end() ? 0 : it->second;
}

void SubtreeFlusher::flush_thread(FlushThreadState&, bool& suspended,
                                  const std::string& thread_id) {
  if (!flush_subtree_bytes_) return;
  if (!flushing_threads_.lock()->insert(thread_id).second) return;  // already flushing
  struct Leave {
    SubtreeFlusher& flusher;
    const std::string& thread_id;
    ~Leave() { flusher.flushing_threads_.lock()->erase(thread_id); }
  } leave{*this, thread_id};

  const uint64_t min_bytes = min_cut_bytes(*flush_subtree_bytes_);
  if (policy_ == FlushPolicy::OneCandidatePerCheck) {
    if (std::optional<Pick> p = pick(&thread_id, min_bytes)) {
      cut(*p, suspended);
    } else {
      rearm_thread(thread_id);
    }
    return;
  }
  // Each cut clears the candidate it took, and a candidate that cannot be
  // cut is cleared too, so the loop ends when the candidates run out, if not
  // before.
  const uint64_t target = *flush_subtree_bytes_ >> 1;
  while (shared_bytes(thread_id) > target) {
    std::optional<Pick> p = pick(&thread_id, min_bytes);
    if (!p) {
      rearm_thread(thread_id);
      break;
    }
    cut(*p, suspended);
  }
}

void SubtreeFlusher::rearm_thread(const std::string& thread_id) {
  auto tracked = open_subtrees_.lock();
  auto it = tracked->bytes.find(thread_id);
  if (it == tracked->bytes.end() || it->second < *flush_subtree_bytes_) return;
  tracked->rearm[thread_id] = it->second + rearm_step_bytes(*flush_subtree_bytes_);
}

void SubtreeFlusher::flush_budget(bool& suspended) {
  // One thread at a time cuts for the budget. The others wait for its round
  // to end (with the GIL released) instead of recording on: while the
  // background writer falls behind, what they would record has no room, and
  // waiting gives the writer the GIL it needs to catch up.
  std::lock_guard<GilMutex> round(budget_round_);
  MemoryBudget& budget = MemoryBudget::process();
  if (!memory_budget_bytes_) return;
  const uint64_t limit = *memory_budget_bytes_;
  if (budget.used() < std::max(limit, budget_recheck_.load(std::memory_order_relaxed))) {
    return;  // the round just ended brought it down
  }
  const uint64_t target = limit - (limit >> 2);
  const uint64_t min_bytes = min_cut_bytes(limit);
  while (budget.used() > target) {
    std::optional<Pick> p = pick(nullptr, min_bytes);
    if (!p) break;
    cut(*p, suspended);
  }
  // Without candidates left (none large enough to be worth a trace) the
  // records stay above the target until calls finish; looking again on
  // every event would cost each one a search, and cut what little grew.
  const uint64_t used = budget.used();
  budget_recheck_.store(used > target ? used + std::max<uint64_t>(limit >> 4, 1) : 0,
                        std::memory_order_relaxed);
}

std::optional<SubtreeFlusher::Pick> SubtreeFlusher::pick(const std::string* thread_id,
                                                         uint64_t min_bytes) {
  auto tracked = open_subtrees_.lock();
  if (tracked->store_failed) return std::nullopt;
  std::optional<Pick> best;
  auto consider = [&](const std::string& id, const OpenSubtreeStack& stack) {
    const std::optional<size_t> index = largest_candidate(stack, min_bytes);
    if (!index) return;
    const FlushCandidate& c = *stack[*index].candidate;
    if (best && best->candidate.bytes >= c.bytes) return;
    best = Pick{id, *index, c, tracked->epoch};
  };
  if (thread_id != nullptr) {
    if (auto it = tracked->stacks.find(*thread_id); it != tracked->stacks.end()) {
      consider(it->first, it->second);
    }
  } else {
    for (const auto& [id, stack] : tracked->stacks) consider(id, stack);
  }
  return best;
}

bool SubtreeFlusher::cut(const Pick& pick, bool& suspended) {
  const FlushCandidate& candidate = pick.candidate;
  const uint64_t start = candidate.start;
  const uint64_t end = candidate.end;
  // Held until the marker is in place and the positions are shifted (and, on
  // failure, until the records are back): a build, a restore or another cut
  // in the meantime would move the records the candidate points at. While it
  // is held the buffers' epoch cannot change, and the threads only append.
  TraceLock trace = buffer_.lock_trace();

  // Whether the candidate still stands as it was picked (its thread may have
  // returned from the call that held it).
  auto still_there = [&](const BuffersLock& buffers) {
    auto tracked = open_subtrees_.lock();
    if (buffers->epoch != pick.epoch || tracked->epoch != pick.epoch) return false;
    auto frames = buffers->frames.find(pick.thread_id);
    auto stack = tracked->stacks.find(pick.thread_id);
    if (frames == buffers->frames.end() || stack == tracked->stacks.end()) return false;
    if (pick.stack_index >= stack->second.size()) return false;
    const std::optional<FlushCandidate>& noted = stack->second[pick.stack_index].candidate;
    return noted && same_candidate(*noted, candidate) && start < end &&
           frames->second.size() >= end;
  };

  ThreadRef thread;
  std::optional<std::string> name;
  {
    auto buffers = buffer_.lock_buffers();
    if (!still_there(buffers)) return false;
    if (auto it = buffers->threads.find(pick.thread_id); it != buffers->threads.end()) {
      thread = it->second;
    }
    // Named after the trace it is cut from and the function it holds.
    std::optional<std::string> root_name = buffer_.current_name(buffers);
    name = root_name ? *root_name + " / " + candidate.co_name : candidate.co_name;
  }
  if (!thread) return false;  // never: a thread's records come with its object

  // What runs on this thread from here on (the thread's facts, the store) is
  // not recorded.
  Suspend suspend(suspended);
  const std::string flushed_trace_id = new_trace_id();
  const std::string root_trace_id = buffer_.root_trace_id();
  const TraceSettings& settings = buffer_.settings();
  DocumentFacts facts;
  {
    const FramesByThread no_frames;
    ThreadMap threads;
    threads.emplace(pick.thread_id, std::move(thread));
    const HostFacts host = collect_host_facts(buffer_.config(), settings.use_monitoring);
    facts = collect_document_facts(TraceParts{no_frames, threads, flushed_trace_id, name,
                                              settings.source, settings.main_thread_id, host,
                                              root_trace_id, buffer_.timestamp()});
  }

  Bytes marker = write_flush_marker(new_frame_id(), candidate.co_name, flushed_trace_id,
                                    candidate.bytes, candidate.segment_count, timestamp());
  const uint64_t marker_bytes = marker.size();
  RecordList records;
  {
    // The records leave the list and the marker takes their place in one
    // hold, so that the thread, which may go on appending meanwhile, never
    // sees a list without either.
    auto buffers = buffer_.lock_buffers();
    if (!still_there(buffers)) return false;
    RecordList& list = buffers->frames.find(pick.thread_id)->second;
    records.assign(std::make_move_iterator(list.begin() + start),
                   std::make_move_iterator(list.begin() + end));
    list.erase(list.begin() + start, list.begin() + end);
    // The list shrank, so the insert needs no allocation.
    list.insert(list.begin() + start, std::move(marker));
    TraceBuffer::change_memory(buffers, records_memory(records, 0, records.size()),
                               record_memory(list[start]));
    cuts_.fetch_add(1, std::memory_order_relaxed);
    auto tracked = open_subtrees_.lock();
    uint64_t& bytes = tracked->bytes[pick.thread_id];
    bytes = saturating_sub(bytes, candidate.bytes) + marker_bytes;
    // Every position after the range moves down with it, open calls
    // included: a call still open while an earlier run is cut must keep
    // pointing at its own records.
    OpenSubtreeStack& stack = tracked->stacks.find(pick.thread_id)->second;
    stack[pick.stack_index].candidate.reset();
    shift_after_flush(stack, start, end, candidate.bytes, marker_bytes);
  }
  if (hook_ != nullptr) hook_->after_cut(trace, pick.thread_id, start, end);

  Ref document;
  Ref table;
  try {
    document = write_document(
        facts,
        [&](std::string_view key) -> std::span<Bytes> {
          if (key != pick.thread_id) return {};
          return {records.data(), records.size()};
        },
        return_free_memory, &table);
  } catch (...) {
    rethrow_if_forced_unwind();
    // Nothing was released: writing fails before the first record is copied.
    {
      ErrorStash keep;
      put_back(trace, pick, records, marker_bytes);
    }
    throw;
  }
  try {
    // The host stores a subtree in the background: a cut never waits for
    // the database.
    buffer_.store_document(flushed_trace_id, document.get(), table.get());
  } catch (...) {
    rethrow_if_forced_unwind();
    {
      ErrorStash keep;
      const std::string_view data(PyBytes_AS_STRING(document.get()),
                                  static_cast<size_t>(PyBytes_GET_SIZE(document.get())));
      std::optional<FramesByThread> written = document_records(data);
      if (!written) fault("a trace document written here cannot be read back");
      records = std::move((*written)[pick.thread_id]);
      document = Ref();
      put_back(trace, pick, records, marker_bytes);
    }
    throw;
  }
  return true;
}

void SubtreeFlusher::put_back(const TraceLock& trace, const Pick& pick, RecordList& records,
                              uint64_t marker_bytes) {
  const uint64_t start = pick.candidate.start;
  const uint64_t end = start + records.size();
  {
    auto buffers = buffer_.lock_buffers();
    auto it = buffers->frames.find(pick.thread_id);
    if (it == buffers->frames.end()) {
      PyErr_Format(PyExc_RuntimeError, "missing frame buffer while finalizing flushed subtree %s",
                   pick.thread_id.c_str());
      throw_py();
    }
    RecordList& list = it->second;
    if (list.size() <= start) {
      PyErr_Format(PyExc_RuntimeError, "frame buffer changed while finalizing flushed subtree %s",
                   pick.thread_id.c_str());
      throw_py();
    }
    const uint64_t before = list_memory(list) + record_memory(list[start]);
    list.reserve(list.size() + records.size() - 1);
    list.erase(list.begin() + start);
    list.insert(list.begin() + start, std::make_move_iterator(records.begin()),
                std::make_move_iterator(records.end()));
    TraceBuffer::change_memory(buffers, before,
                               list_memory(list) + records_memory(list, start, end));
    auto tracked = open_subtrees_.lock();
    Tracked& t = current(tracked, pick.epoch);
    uint64_t& bytes = t.bytes[pick.thread_id];
    bytes = saturating_sub(bytes + pick.candidate.bytes, marker_bytes);
    if (auto stack = t.stacks.find(pick.thread_id); stack != t.stacks.end()) {
      shift_after_put_back(stack->second, start, end, pick.candidate.bytes, marker_bytes);
    }
    t.store_failed = true;
  }
  if (hook_ != nullptr) hook_->after_put_back(trace, pick.thread_id, start, end);
}

}  // namespace vask
