/* Preloaded in the sanitizer run of scripts/test, after libasan.
 *
 * At exit the interpreter ends a daemon thread that waits for the GIL with
 * pthread_exit, which unwinds the thread's C++ frames without a throw. A
 * thrown exception passes through ASan's __cxa_throw hook, which unpoisons
 * the stack that is about to be left; a forced unwind does not, and the first
 * landing pad then trips over the stale redzones of the frames already left
 * (a stack-buffer-overflow reported inside ASan's own sigaltstack call). This
 * does for pthread_exit what the hook does for a throw. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>

void __asan_handle_no_return(void);

void pthread_exit(void* value) {
  __asan_handle_no_return();
  void (*real)(void*) = (void (*)(void*))dlsym(RTLD_NEXT, "pthread_exit");
  real(value);
  __builtin_unreachable();
}
