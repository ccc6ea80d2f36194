// Locks that are safe to wait for while holding the interpreter lock.
#pragma once

#include <mutex>
#include <utility>

#include "support/py.hpp"

namespace vask {

// A mutex for data shared between the interpreter's threads.
//
// Invariant: the caller holds the GIL. The holder of this mutex may need the
// GIL to finish (it can run Python code: dumpers, plugins, logging, a save),
// so waiting with the GIL held could deadlock. lock() tries first and only
// releases the GIL when it has to block; it takes the GIL back after the
// mutex is held. Satisfies BasicLockable, so std::scoped_lock works with it.
//
// Taking the GIL back may end the thread (the interpreter is exiting, see
// support/py.hpp): the mutex is released on the way out. A thread that no
// longer holds the GIL (a destructor running while such a thread unwinds)
// waits for the mutex alone.
class GilMutex {
 public:
  void lock() {
    if (m_.try_lock()) return;
    if (!python_usable()) {
      m_.lock();
      return;
    }
    PyThreadState* tstate = PyEval_SaveThread();
    m_.lock();
    try {
      PyEval_RestoreThread(tstate);
    } catch (...) {
      m_.unlock();
      throw;
    }
  }
  bool try_lock() { return m_.try_lock(); }
  void unlock() { m_.unlock(); }

 private:
  std::mutex m_;
};

// A value reachable only while its GilMutex is held.
template <class T>
class Guarded {
 public:
  class Locked {
   public:
    explicit Locked(Guarded& g) : lock_(g.mutex_), value_(&g.value_) {}
    T& operator*() const noexcept { return *value_; }
    T* operator->() const noexcept { return value_; }

   private:
    std::unique_lock<GilMutex> lock_;
    T* value_;
  };

  Guarded() = default;
  explicit Guarded(T value) : value_(std::move(value)) {}

  Locked lock() { return Locked(*this); }

 private:
  GilMutex mutex_;
  T value_;
};

}  // namespace vask
