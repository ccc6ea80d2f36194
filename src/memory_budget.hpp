// The memory of the process's buffered records, counted once for every
// engine alive (a monitor and a profile engine beside it share it), and the
// budget the engines flush against. Free of the Python API.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

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

class MemoryBudget {
 public:
  // The one budget of the process.
  static MemoryBudget& process() noexcept;

  void add(uint64_t bytes) noexcept { used_.fetch_add(bytes, std::memory_order_relaxed); }
  void remove(uint64_t bytes) noexcept { used_.fetch_sub(bytes, std::memory_order_relaxed); }
  uint64_t used() const noexcept { return used_.load(std::memory_order_relaxed); }

  // The smallest limit of the engines alive, or nullopt when none set one.
  std::optional<uint64_t> limit() const noexcept {
    const uint64_t l = limit_.load(std::memory_order_relaxed);
    return l == kNone ? std::nullopt : std::optional<uint64_t>(l);
  }
  // From here on the engines keep every thread's open calls, so that
  // finished ones can be cut when the limit is reached: the limit less an
  // eighth of it, or less 64 MiB when that is more (0 below 1 MiB).
  std::optional<uint64_t> tracking_from() const noexcept;

  // An engine's limit, in force while the claim lives.
  class Claim {
   public:
    Claim() = default;
    Claim(MemoryBudget* budget, uint64_t limit) : budget_(budget), limit_(limit) {}
    Claim(Claim&& other) noexcept : budget_(other.budget_), limit_(other.limit_) {
      other.budget_ = nullptr;
    }
    Claim& operator=(Claim&&) = delete;
    Claim(const Claim&) = delete;
    ~Claim() {
      if (budget_ != nullptr) budget_->release(limit_);
    }

   private:
    MemoryBudget* budget_ = nullptr;
    uint64_t limit_ = 0;
  };
  Claim claim(uint64_t limit);

 private:
  static constexpr uint64_t kNone = UINT64_MAX;
  void release(uint64_t limit);
  void publish();  // mutex_ held

  std::atomic<uint64_t> used_{0};
  std::atomic<uint64_t> limit_{kNone};
  std::mutex mutex_;  // guards limits_; no Python code runs under it
  std::vector<uint64_t> limits_;
};

}  // namespace vask
