// Per-thread storage owned by an engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/py.hpp"

namespace vask {

namespace detail {
// A number that names the calling OS thread for the life of the process; never
// reused, unlike pthread ids of exited threads.
uint64_t current_thread_token() noexcept;
// Unique, never reused owner ids, so that a stale cache entry of a dropped
// PerThread can never match a new one.
uint64_t next_owner_id() noexcept;
}  // namespace detail

// One lazily created T per OS thread, owned by the PerThread object and
// reachable by it until it is dropped, also after its thread has exited (a
// thread-exit path therefore never needs the interpreter lock).
//
// A value is borrowed by one caller at a time; a second borrow on the same
// thread while the first is alive is an internal fault, never undefined
// behaviour. Lookups of the calling thread's slot take an internal std::mutex
// that is held for the map lookup only (no Python code runs under it); a one
// entry thread-local cache makes the repeat lookup lock-free.
template <class T>
class PerThread {
  struct Slot {
    T value{};
    bool borrowed = false;
  };

 public:
  class Borrow {
   public:
    explicit Borrow(Slot* s) noexcept : slot_(s) {}
    Borrow(Borrow&& o) noexcept : slot_(std::exchange(o.slot_, nullptr)) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
      if (slot_ != nullptr) slot_->borrowed = false;
    }
    T& operator*() const noexcept { return slot_->value; }
    T* operator->() const noexcept { return &slot_->value; }

   private:
    Slot* slot_;
  };

  PerThread() : owner_(detail::next_owner_id()) {}
  PerThread(const PerThread&) = delete;
  PerThread& operator=(const PerThread&) = delete;

  // Borrows the calling thread's value, creating it on first use.
  Borrow borrow() {
    Slot* s = slot();
    if (s->borrowed) fault("per-thread state already borrowed");
    s->borrowed = true;
    return Borrow(s);
  }

  // Visits every thread's value. The caller must make sure that no other
  // thread borrows meanwhile (the GIL is held and no Python code runs).
  template <class F>
  void for_each(F&& f) {
    std::lock_guard<std::mutex> g(m_);
    for (auto& [token, s] : slots_) f(s->value);
  }

 private:
  struct Cache {
    uint64_t owner = 0;
    Slot* slot = nullptr;
  };

  Slot* slot() {
    thread_local Cache cache;
    if (cache.owner == owner_) return cache.slot;
    const uint64_t token = detail::current_thread_token();
    Slot* s;
    {
      std::lock_guard<std::mutex> g(m_);
      auto& entry = slots_[token];
      if (!entry) entry = std::make_unique<Slot>();
      s = entry.get();
    }
    cache.owner = owner_;
    cache.slot = s;
    return s;
  }

  const uint64_t owner_;
  std::mutex m_;
  std::unordered_map<uint64_t, std::unique_ptr<Slot>> slots_;
};

}  // namespace vask
