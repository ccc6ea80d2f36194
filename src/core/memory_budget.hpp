// The memory of the process's buffered records, counted once for every
// engine alive (a monitor and a profile engine beside it share it), and the
// budget the engines flush against. Free of the Python API.
#pragma once

#include <atomic>
#include <cstdint>

#include "utils/records.hpp"

namespace vask {

// What one buffered record costs the process: its heap block with the
// allocator's header (a record short enough for the string's inline buffer
// costs nothing beyond its slot). The slot itself is counted with the list.
uint64_t record_memory(const Bytes& record) noexcept;
// A thread's list: its slots (what the vector reserved) and the map entry.
uint64_t list_memory(const RecordList& list) noexcept;
// Records [begin, end) of a list.
uint64_t records_memory(const RecordList& list, size_t begin, size_t end) noexcept;

// Gives the allocator's free memory back to the system (glibc keeps what
// was freed in each thread's arena: records freed after a cut would still
// count in the process's memory). Takes milliseconds: call it after a batch
// of frees, not after each.
void return_free_memory() noexcept;

// The bytes the records of every engine alive cost the process. Each engine
// flushes against its own budget ("memory_budget_mb") with this count: a
// profile engine beside a monitor (the Django middleware's) counts the
// monitor's records too, and an engine that lingers after it stopped (kept
// alive by a traceback) imposes nothing on the others.
//
// A forked child starts its count from nothing: the buffers its engines
// inherited hold the parent's records (the parent stores them), those engines
// record nothing in the child, and the child's own engines flush against
// what they record themselves.
class MemoryBudget {
 public:
  // The one count of the process.
  static MemoryBudget& process() noexcept;

  void add(uint64_t bytes) noexcept { used_.fetch_add(bytes, std::memory_order_relaxed); }
  void remove(uint64_t bytes) noexcept { used_.fetch_sub(bytes, std::memory_order_relaxed); }
  uint64_t used() const noexcept { return used_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> used_{0};
};

// What one engine's buffers cost, as counted in MemoryBudget::process().
// Counted in the process it was made in: in a forked child, what it held at
// the fork is neither counted nor taken off when it is let go.
class CountedMemory {
 public:
  CountedMemory() noexcept;
  CountedMemory(const CountedMemory&) = delete;
  CountedMemory& operator=(const CountedMemory&) = delete;
  ~CountedMemory() { release(); }

  uint64_t bytes() const noexcept { return bytes_; }
  // Records that cost `before` were replaced by ones that cost `after`.
  void change(uint64_t before, uint64_t after) noexcept;
  // Everything counted is let go (the records were taken or dropped).
  void release() noexcept { change(bytes_, 0); }

 private:
  uint64_t bytes_ = 0;
  const uint64_t fork_generation_;
};

// From where on an engine with this budget keeps every thread's open calls,
// so that finished ones can be cut when the budget is reached: the budget
// less an eighth of it, or less 64 MiB when that is more (0 below 1 MiB).
uint64_t tracking_from(uint64_t budget) noexcept;

}  // namespace vask
