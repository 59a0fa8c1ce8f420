// A program that crashes on purpose with the client's own fatal-signal
// handler installed: the crash scenario's trigger lives here, in a test
// program, and never in a program that ships.
//
//   crash_probe DIR    installs the handler writing into DIR, names its thread
//                      "qp-crash-probe" and dies of SIGSEGV in crash_probe_fault
#include <sys/prctl.h>

#include <cstdio>

#include "quillpost/host/process/crash_handler.h"

namespace {

int* volatile nowhere = nullptr;

}  // namespace

// Out of line and with a symbol of its own, so that the report's backtrace
// names it once symbolised.
extern "C" __attribute__((noinline)) void crash_probe_fault(int value) {
  *nowhere = value;
  std::puts("not reached");
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: crash_probe DIR\n", stderr);
    return 2;
  }
  // Not dumpable, as the client makes itself: the report is the only trace.
  prctl(PR_SET_DUMPABLE, 0);
  quillpost::install_crash_handler(argv[1], "crash probe build");
  prctl(PR_SET_NAME, "qp-crash-probe");
  crash_probe_fault(42);
  return 0;
}
