// Signal dispositions whose handlers run as ordinary code.
//
// The handler installed with the operating system only records that the signal
// came (and, for `install_flag`, sets an Event, which is async-signal-safe) and
// writes one byte to a self-pipe. The handlers given to `install_deferred` run
// later, on the thread that calls `dispatch_pending` (the main loop, which waits
// on `wakeup_fd`), where they may log, lock and call into the application.
#pragma once

#include <functional>

#include "quillpost/host/process/event.h"

namespace quillpost::signals {

using Handler = std::function<void(int sig)>;

enum class Disposition { os_default, flag, deferred, ignore };

// `sig` sets `flag` (kept by reference: it must outlive the disposition).
void install_flag(int sig, Event& flag);
// `sig` runs `handler` at the next `dispatch_pending`.
void install_deferred(int sig, Handler handler);
// `sig` is ignored; a pending deferred call of it is dropped.
void ignore(int sig);
// Back to the operating system's default.
void restore_default(int sig);

Disposition disposition(int sig);

// Readable while a deferred handler is pending.
int wakeup_fd();

// Runs each deferred handler whose signal came since the last call, once per
// signal however many times it came. Returns how many handlers ran. Call it from
// one thread only (the main thread).
int dispatch_pending();

}  // namespace quillpost::signals
