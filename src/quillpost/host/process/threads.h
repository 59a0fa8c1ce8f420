// Worker threads that leave the process's stop and reload signals to the
// thread that handles them.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace quillpost {

// The signals the program acts on (SIGINT, SIGTERM, SIGHUP).
inline sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Starts a thread with the handled signals blocked in it (and in every thread
// it starts), so that the kernel delivers them to the main thread. A handler
// run on a worker would race with the main thread's exit, and a worker parked
// in a long wait may hold a signal back under a sanitizer. Synchronous faults
// (SIGSEGV, SIGBUS...) are left alone.
template <class F>
std::thread start_thread(F&& body) {
  const sigset_t blocked = handled_signals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  struct Restore {
    const sigset_t& mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};
  return std::thread(std::forward<F>(body));
}

}  // namespace quillpost
