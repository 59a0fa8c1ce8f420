// Worker threads leave SIGINT, SIGTERM and SIGHUP to the main thread; the
// thread that starts them keeps its own mask.
#include "quillpost/host/process/threads.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillpost {
namespace {

sigset_t current_mask() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return mask;
}

std::vector<int> blocked_of(const sigset_t& mask) {
  std::vector<int> blocked;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGSEGV, SIGBUS, SIGPIPE, SIGUSR1}) {
    if (sigismember(&mask, sig)) blocked.push_back(sig);
  }
  return blocked;
}

TEST(StartThread, WorkersAndTheirThreadsBlockOnlyTheHandledSignals) {
  const std::vector<int> before = blocked_of(current_mask());
  std::vector<int> in_worker, in_nested;
  start_thread([&] {
    in_worker = blocked_of(current_mask());
    std::thread([&] { in_nested = blocked_of(current_mask()); }).join();
  }).join();
  const std::vector<int> handled = {SIGINT, SIGTERM, SIGHUP};
  EXPECT_EQ(in_worker, handled);
  EXPECT_EQ(in_nested, handled);  // a library's thread started by a worker
  EXPECT_EQ(blocked_of(current_mask()), before);
}

}  // namespace
}  // namespace quillpost
