#include "subtree_flush.hpp"

#include <algorithm>
#include <cmath>

#include "utils/ids.hpp"
#include "utils/msgpack_write.hpp"
#include "utils/naming.hpp"

namespace vask {

namespace {

constexpr const char* kNotANumber = "flush_subtree_mb must be a non-negative number or false";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMinTriggerSlack = 64 * kMiB;
// 2^64 as a double: the first value that no longer fits an unsigned 64-bit
// integer (every double below it truncates to one that does).
constexpr double kTwoTo64 = 18446744073709551616.0;

[[noreturn]] void value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  throw_py();
}

}  // namespace

std::optional<uint64_t> resolve_flush_subtree_bytes(PyObject* config) {
  if (!PyDict_Check(config)) {
    conversion_error(config, "PyDict");
  }
  Ref key = make_str("flush_subtree_mb");
  PyObject* value = PyDict_GetItemWithError(config, key.get());  // borrowed
  if (value == nullptr) {
    if (PyErr_Occurred()) throw_py();
    return kDefaultFlushSubtreeBytes;
  }
  if (value == Py_None || value == Py_False) return std::nullopt;
  if (value == Py_True) {
    value_error(
        "flush_subtree_mb = true is not valid; use false to disable or a non-negative number to "
        "set the threshold");
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
      value_error(kNotANumber);
    }
  }
  if (!std::isfinite(mb) || mb < 0.0) value_error(kNotANumber);
  const double bytes = mb * static_cast<double>(kMiB);
  if (bytes >= kTwoTo64) value_error("flush_subtree_mb is too large for this platform");
  return static_cast<uint64_t>(bytes);
}

uint64_t flush_trigger_bytes(std::optional<uint64_t> flush_subtree_bytes) noexcept {
  if (!flush_subtree_bytes || *flush_subtree_bytes < kMiB) return 0;
  const uint64_t threshold = *flush_subtree_bytes;
  const uint64_t slack = std::max(threshold >> 3, kMinTriggerSlack);
  return threshold > slack ? threshold - slack : 0;
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

std::optional<size_t> largest_candidate(const OpenSubtreeStack& stack) {
  std::optional<size_t> best;
  for (size_t i = 0; i < stack.size(); ++i) {
    if (!stack[i].candidate) continue;
    if (!best || stack[i].candidate->bytes > stack[*best].candidate->bytes) best = i;
  }
  return best;
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

}  // namespace

SubtreeFlusher::SubtreeFlusher(TraceBuffer& buffer, std::optional<uint64_t> flush_subtree_bytes,
                               FlushPolicy policy, CutHook* hook)
    : buffer_(buffer),
      flush_subtree_bytes_(flush_subtree_bytes),
      flush_trigger_bytes_(vask::flush_trigger_bytes(flush_subtree_bytes)),
      policy_(policy),
      hook_(hook) {}

bool SubtreeFlusher::account(BuffersLock& buffers, FlushThreadState& state,
                             const std::string& thread_id, uint64_t old_length,
                             BatchFrameEvent frame_event) {
  const RecordList& list = buffers->frames.find(thread_id)->second;
  const uint64_t new_length = list.size();
  const uint64_t epoch = buffers->epoch;
  if (state.epoch != epoch) state = FlushThreadState{0, epoch, 0, 0, false, false};

  uint64_t batch_bytes = 0;
  if (!state.active && flush_trigger_bytes_ != 0) {
    // Until the thread has buffered enough to matter it is counted only
    // every kFlushCountInterval records, which keeps small traces cheap.
    if (state.next_count == 0) state.next_count = kFlushCountInterval;
    if (new_length < state.next_count) return false;
    state.bytes += size_of(list, std::min(state.counted_index, new_length), new_length);
    state.counted_index = new_length;
    state.next_count = new_length + kFlushCountInterval;
    if (state.bytes < flush_trigger_bytes_) return false;
    batch_bytes = size_of(list, old_length, new_length);
  } else {
    batch_bytes = size_of(list, old_length, new_length);
    state.bytes += batch_bytes;
  }
  state.active = true;

  {
    auto open = open_subtrees_.lock();
    if (open->epoch != epoch) {
      // Noted in an older epoch of the buffers: the positions are void.
      open->stacks.clear();
      open->epoch = epoch;
    }
    OpenSubtrees& stacks = open->stacks;
    switch (frame_event) {
      case BatchFrameEvent::Call:
        push_open_subtree(stacks, thread_id,
                          OpenSubtree{batch_co_name(list, old_length, new_length), std::nullopt,
                                      old_length, saturating_sub(state.bytes, batch_bytes)});
        break;
      case BatchFrameEvent::Return:
        if (std::optional<OpenSubtree> closed = pop_open_subtree(stacks, thread_id)) {
          record_closed_segment(stacks, thread_id, closed->start_index, new_length,
                                saturating_sub(state.bytes, closed->start_bytes),
                                std::move(closed->co_name));
        }
        break;
      case BatchFrameEvent::None:
        record_closed_segment(stacks, thread_id, old_length, new_length, batch_bytes,
                              batch_co_name(list, old_length, new_length));
        break;
    }
  }
  return state.bytes >= *flush_subtree_bytes_ && !state.store_failed;
}

void SubtreeFlusher::maybe_flush_segments_with_current_bytes(FlushThreadState& state,
                                                             bool& suspended,
                                                             const std::string& thread_id) {
  if (!flush_subtree_bytes_ || state.store_failed) return;
  if (!flushing_threads_.lock()->insert(thread_id).second) return;  // already flushing
  struct Leave {
    SubtreeFlusher& flusher;
    const std::string& thread_id;
    ~Leave() { flusher.flushing_threads_.lock()->erase(thread_id); }
  } leave{*this, thread_id};

  if (policy_ == FlushPolicy::OneCandidatePerCheck) {
    cut_largest(state, suspended, thread_id);
    return;
  }
  // Each cut clears the candidate it took and no record is added meanwhile,
  // so the loop ends when the candidates run out, if not before.
  const uint64_t target = *flush_subtree_bytes_ >> 1;
  while (state.bytes > target && cut_largest(state, suspended, thread_id)) {
  }
}

bool SubtreeFlusher::cut_largest(FlushThreadState& state, bool& suspended,
                                 const std::string& thread_id) {
  size_t stack_index = 0;
  FlushCandidate candidate;
  uint64_t epoch = 0;
  {
    auto open = open_subtrees_.lock();
    auto it = open->stacks.find(thread_id);
    if (it == open->stacks.end()) return false;
    std::optional<size_t> best = largest_candidate(it->second);
    if (!best) return false;
    stack_index = *best;
    candidate = *it->second[stack_index].candidate;
    epoch = open->epoch;
  }

  // Held until the marker is in place and the positions are shifted: a build
  // or a restore in the meantime would move the records the candidate points
  // at. While it is held the buffers' epoch cannot change.
  TraceLock trace = buffer_.lock_trace();
  TraceBuffer::Taken part;
  {
    auto buffers = buffer_.lock_buffers();
    auto it = buffers->frames.find(thread_id);
    if (buffers->epoch != epoch || state.epoch != epoch || it == buffers->frames.end() ||
        candidate.start >= candidate.end || it->second.size() < candidate.end) {
      // The records moved since the candidate was noted: nothing to cut.
      auto open = open_subtrees_.lock();
      if (open->epoch == epoch) clear_flush_candidate(open->stacks, thread_id, stack_index);
      return false;
    }
    RecordList& list = it->second;
    RecordList cut(std::make_move_iterator(list.begin() + candidate.start),
                   std::make_move_iterator(list.begin() + candidate.end));
    list.erase(list.begin() + candidate.start, list.begin() + candidate.end);
    part.frames.emplace(thread_id, std::move(cut));
    if (auto thread = buffers->threads.find(thread_id); thread != buffers->threads.end()) {
      part.threads.emplace(thread_id, thread->second.copy());
    }
  }

  // Until the marker replaces them, a failure puts the cut records back.
  auto put_back = [&] {
    ErrorStash keep;
    auto buffers = buffer_.lock_buffers();
    RecordList& list = buffers->frames[thread_id];
    RecordList& cut = part.frames[thread_id];
    const uint64_t at = std::min<uint64_t>(candidate.start, list.size());
    list.insert(list.begin() + at, std::make_move_iterator(cut.begin()),
                std::make_move_iterator(cut.end()));
  };
  const std::string flushed_trace_id = new_trace_id();
  try {
    part.trace_id = flushed_trace_id;
    part.root_trace_id = buffer_.root_trace_id();
    Ref document = buffer_.build_document(part);
    // The store runs Python code on this thread; none of it is recorded.
    struct Suspend {
      bool& flag;
      explicit Suspend(bool& f) : flag(f) { flag = true; }
      ~Suspend() { flag = false; }
    } suspend(suspended);
    buffer_.store_document(flushed_trace_id, document.get());
  } catch (...) {
    rethrow_if_forced_unwind();
    put_back();
    state.store_failed = true;
    throw;
  }

  Bytes marker = write_flush_marker(new_frame_id(), candidate.co_name, flushed_trace_id,
                                    candidate.bytes, candidate.segment_count, timestamp());
  const uint64_t marker_bytes = marker.size();
  {
    auto buffers = buffer_.lock_buffers();
    auto it = buffers->frames.find(thread_id);
    if (it == buffers->frames.end()) {
      PyErr_Format(PyExc_RuntimeError, "missing frame buffer while finalizing flushed subtree %s",
                   thread_id.c_str());
      throw_py();
    }
    if (it->second.size() < candidate.start) {
      PyErr_Format(PyExc_RuntimeError, "frame buffer changed while finalizing flushed subtree %s",
                   thread_id.c_str());
      throw_py();
    }
    it->second.insert(it->second.begin() + candidate.start, std::move(marker));
  }
  state.bytes = saturating_sub(state.bytes, candidate.bytes) + marker_bytes;
  {
    // Every position after the range moves down with it, open calls
    // included: a call still open while an earlier run is cut must keep
    // pointing at its own records.
    auto open = open_subtrees_.lock();
    clear_flush_candidate(open->stacks, thread_id, stack_index);
    if (auto it = open->stacks.find(thread_id); it != open->stacks.end()) {
      shift_after_flush(it->second, candidate.start, candidate.end, candidate.bytes, marker_bytes);
    }
  }
  if (hook_ != nullptr) hook_->after_cut(trace, thread_id, candidate.start, candidate.end);
  return true;
}

}  // namespace vask
