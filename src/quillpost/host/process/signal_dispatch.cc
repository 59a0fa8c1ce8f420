#include "quillpost/host/process/signal_dispatch.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <mutex>
#include <system_error>

namespace quillpost::signals {
namespace {

constexpr int kMaxSignal = 65;

struct Slot {
  std::atomic<Event*> flag{nullptr};
  std::atomic<bool> pending{false};
  std::atomic<Disposition> disposition{Disposition::os_default};
  Handler handler;  // touched only by the installing and dispatching thread
};

struct State {
  std::array<Slot, kMaxSignal> slots;
  int pipe_read = -1;
  int pipe_write = -1;
  std::mutex mutex;
};

State& state() {
  static State* s = new State();  // never destroyed: a signal may come during exit
  return *s;
}

Slot& slot(int sig) {
  if (sig <= 0 || sig >= kMaxSignal) throw std::invalid_argument("no such signal");
  return state().slots[static_cast<std::size_t>(sig)];
}

void ensure_pipe(State& s) {
  if (s.pipe_read >= 0) return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  s.pipe_read = fds[0];
  s.pipe_write = fds[1];
}

extern "C" void on_signal(int sig) {
  const int saved_errno = errno;
  State& s = state();
  if (sig > 0 && sig < kMaxSignal) {
    Slot& target = s.slots[static_cast<std::size_t>(sig)];
    if (target.disposition.load() == Disposition::flag) {
      if (Event* flag = target.flag.load()) flag->set();
    } else {
      target.pending.store(true);
      const char byte = static_cast<char>(sig);
      // A full pipe already holds a wake-up; losing this byte loses nothing.
      [[maybe_unused]] const auto n = ::write(s.pipe_write, &byte, 1);
    }
  }
  errno = saved_errno;
}

void set_os_handler(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (::sigaction(sig, &action, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "sigaction");
  }
}

}  // namespace

void install_flag(int sig, Event& flag) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  ensure_pipe(s);
  Slot& target = slot(sig);
  target.flag.store(&flag);
  target.disposition.store(Disposition::flag);
  set_os_handler(sig, on_signal);
}

void install_deferred(int sig, Handler handler) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  ensure_pipe(s);
  Slot& target = slot(sig);
  target.handler = std::move(handler);
  target.pending.store(false);
  target.disposition.store(Disposition::deferred);
  set_os_handler(sig, on_signal);
}

void ignore(int sig) {
  std::lock_guard lock(state().mutex);
  Slot& target = slot(sig);
  set_os_handler(sig, SIG_IGN);
  target.disposition.store(Disposition::ignore);
  target.pending.store(false);
  target.handler = nullptr;  // dispatch_pending runs a copy, so a handler may ignore itself
}

void restore_default(int sig) {
  std::lock_guard lock(state().mutex);
  Slot& target = slot(sig);
  set_os_handler(sig, SIG_DFL);
  target.disposition.store(Disposition::os_default);
  target.pending.store(false);
  target.handler = nullptr;
}

Disposition disposition(int sig) {
  return slot(sig).disposition.load();
}

int wakeup_fd() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  ensure_pipe(s);
  return s.pipe_read;
}

int dispatch_pending() {
  State& s = state();
  if (s.pipe_read >= 0) {
    char buffer[64];
    while (::read(s.pipe_read, buffer, sizeof buffer) > 0) {
    }
  }
  int ran = 0;
  for (int sig = 1; sig < kMaxSignal; ++sig) {
    Slot& target = s.slots[static_cast<std::size_t>(sig)];
    if (!target.pending.exchange(false)) continue;
    // A handler may have switched the signal to ignore since it came.
    if (target.disposition.load() != Disposition::deferred) continue;
    Handler handler = target.handler;  // the handler may replace itself
    handler(sig);
    ++ran;
  }
  return ran;
}

}  // namespace quillpost::signals
