#include <thread>

#include "harness.hpp"
#include "support/gil_mutex.hpp"
#include "support/per_thread.hpp"

namespace vask {
namespace {

TEST(Ref, StealIncrefReleaseBalanceReferenceCounts) {
  PyObject* obj = PyList_New(0);
  const Py_ssize_t base = Py_REFCNT(obj);
  {
    Ref a = Ref::incref(obj);
    EXPECT_EQ(Py_REFCNT(obj), base + 1);
    Ref b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(Py_REFCNT(obj), base + 1);
    Ref c = b.copy();
    EXPECT_EQ(Py_REFCNT(obj), base + 2);
  }
  EXPECT_EQ(Py_REFCNT(obj), base);
  Ref owned = Ref::steal(obj);
  PyObject* back = owned.release();
  EXPECT_EQ(back, obj);
  Py_DECREF(back);
}

TEST(Ref, CheckThrowsWhenAnErrorIsSet) {
  PyErr_SetString(PyExc_ValueError, "boom");
  EXPECT_THROW(Ref::check(nullptr), PyErrSet);
  EXPECT_EQ(test::take_error_type(), "ValueError");
}

TEST(Boundary, MapsFaultsToSystemError) {
  PyObject* r = boundary([]() -> PyObject* { fault("invariant broken"); });
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(test::take_error_message(), "invariant broken");
}

TEST(PerThread, SecondBorrowOnOneThreadIsAFault) {
  PerThread<int> values;
  auto first = values.borrow();
  *first = 7;
  EXPECT_THROW(values.borrow(), InternalFault);
}

TEST(PerThread, EachThreadGetsItsOwnLazilyCreatedValue) {
  PerThread<int> values;
  *values.borrow() = 1;
  int seen_on_other = -1;
  std::thread t([&] {
    auto b = values.borrow();
    seen_on_other = *b;
    *b = 2;
  });
  t.join();
  EXPECT_EQ(seen_on_other, 0);
  EXPECT_EQ(*values.borrow(), 1);
  int sum = 0;
  values.for_each([&](int& v) { sum += v; });
  EXPECT_EQ(sum, 3);  // the exited thread's value stays reachable
}

TEST(GilMutex, WaitingReleasesTheInterpreterLock) {
  GilMutex m;
  m.lock();
  bool other_ran_python = false;
  std::thread t([&] {
    PyGILState_STATE g = PyGILState_Ensure();
    other_ran_python = true;
    // Wait for the mutex: this must give the GIL back so the holder can go on.
    m.lock();
    m.unlock();
    PyGILState_Release(g);
  });
  // Let the other thread run Python code while we hold the mutex.
  Py_BEGIN_ALLOW_THREADS while (!other_ran_python) std::this_thread::yield();
  Py_END_ALLOW_THREADS m.unlock();
  Py_BEGIN_ALLOW_THREADS t.join();
  Py_END_ALLOW_THREADS EXPECT_TRUE(other_ran_python);
}

}  // namespace
}  // namespace vask
