// The main stack's pages below the caller go back to the kernel; the frames
// above it keep their data.
#include "quillpost/host/process/stack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace quillpost {
namespace {

// The resident kilobytes of the mapping named [stack] in /proc/self/smaps.
long stack_rss_kib() {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool in_stack = false;
  while (std::getline(smaps, line)) {
    if (line.find(" [stack]") != std::string::npos) {
      in_stack = true;
    } else if (in_stack && line.rfind("Rss:", 0) == 0) {
      return std::stol(line.substr(4));
    }
  }
  return -1;
}

// Touches `depth` times 64 KiB of stack below the caller.
[[gnu::noinline]] int go_deep(int depth) {
  volatile char block[64 * 1024];
  std::memset(const_cast<char*>(block), depth, sizeof block);
  return depth == 0 ? block[100] : go_deep(depth - 1) + block[100];
}

TEST(ReleaseStackBelowCaller, DropsTheDeepPagesAndKeepsTheLiveFrames) {
  if (stack_rss_kib() < 0) GTEST_SKIP() << "no [stack] in /proc/self/smaps";
  char live[4096];
  std::memset(live, 0x5a, sizeof live);
  go_deep(16);  // 1 MiB
  const long deep = stack_rss_kib();
  ASSERT_GE(deep, 1024) << "the recursion did not touch the stack";
  release_stack_below_caller();
  const long after = stack_rss_kib();
  EXPECT_LE(after, deep - 900) << "resident before " << deep << " KiB, after " << after;
  for (char c : live) ASSERT_EQ(c, 0x5a);
  EXPECT_EQ(go_deep(4), 4 + 3 + 2 + 1) << "the released pages work again";
}

}  // namespace
}  // namespace quillpost
