#include "core/memory_budget.hpp"

#include <algorithm>

#include <pthread.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "utils/ids.hpp"

namespace vask {
namespace {

// glibc's malloc: a block holds its size word before the data and is a
// multiple of 16 bytes, 32 at least.
constexpr uint64_t kBlockHeader = 8;
constexpr uint64_t kBlockAlign = 16;
constexpr uint64_t kMinBlock = 32;
// A map entry of a thread: the node with its key and the vector's header.
constexpr uint64_t kListOverhead = 128;
constexpr uint64_t kMiB = 1 << 20;

const size_t kInlineCapacity = Bytes().capacity();

}  // namespace

uint64_t record_memory(const Bytes& record) noexcept {
  const uint64_t capacity = record.capacity();
  if (capacity <= kInlineCapacity) return 0;
  const uint64_t block = (capacity + 1 + kBlockHeader + kBlockAlign - 1) & ~(kBlockAlign - 1);
  return std::max(block, kMinBlock);
}

uint64_t list_memory(const RecordList& list) noexcept {
  return kListOverhead + list.capacity() * sizeof(Bytes);
}

uint64_t records_memory(const RecordList& list, size_t begin, size_t end) noexcept {
  uint64_t total = 0;
  for (size_t i = begin; i < end; ++i) total += record_memory(list[i]);
  return total;
}

void return_free_memory() noexcept {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

MemoryBudget& MemoryBudget::process() noexcept {
  static MemoryBudget budget;
  static const bool registered = [] {
    // Runs in the child only, while it has the one thread that forked.
    pthread_atfork(nullptr, nullptr, [] { budget.used_.store(0, std::memory_order_relaxed); });
    return true;
  }();
  (void)registered;
  return budget;
}

CountedMemory::CountedMemory() noexcept : fork_generation_(fork_generation()) {}

void CountedMemory::change(uint64_t before, uint64_t after) noexcept {
  bytes_ = bytes_ + after - before;
  if (fork_generation() != fork_generation_) return;
  MemoryBudget& budget = MemoryBudget::process();
  budget.add(after);
  budget.remove(before);
}

uint64_t tracking_from(uint64_t budget) noexcept {
  if (budget < kMiB) return 0;
  const uint64_t slack = std::max(budget >> 3, 64 * kMiB);
  return budget > slack ? budget - slack : 0;
}

}  // namespace vask
