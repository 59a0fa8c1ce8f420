#include "support/unprivileged.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

namespace quillpost::testing {
namespace {

// Runs `body` in a forked child; its exit status (128 + signal when killed).
int in_child(const std::function<int()>& body) {
  std::fflush(nullptr);  // or the child writes out the parent's buffered output again
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int code = body();
    std::fflush(nullptr);
    ::_exit(code);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool switch_to_user(uid_t uid) {
  const auto gid = static_cast<gid_t>(uid);
  return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
         ::setresuid(uid, uid, uid) == 0;
}

std::optional<uid_t> spare_uid(std::string& why_not, int count) {
  if (::geteuid() != 0) {
    why_not = "not running as root";
    return std::nullopt;
  }
  // Below 65536, so that a container with a limited id map can switch too;
  // spread by process id, so that tests run side by side rarely share one.
  uid_t base = 61000 + static_cast<uid_t>(::getpid() % 1000) * static_cast<uid_t>(count);
  const auto taken = [](uid_t first, int n) {
    for (int i = 0; i < n; ++i) {
      if (::getpwuid(first + static_cast<uid_t>(i)) || ::getgrgid(first + static_cast<gid_t>(i))) {
        return true;
      }
    }
    return false;
  };
  while (taken(base, count)) base += static_cast<uid_t>(count);
  if (in_child([base] { return switch_to_user(base) ? 0 : 1; }) != 0) {
    why_not = "cannot run a child as user " + std::to_string(base) + " here";
    return std::nullopt;
  }
  return base;
}

void where_permissions_apply(const std::function<void()>& body) {
  if (::geteuid() != 0) return body();
  std::string why_not;
  const auto uid = spare_uid(why_not);
  if (!uid) GTEST_SKIP() << "root ignores file permissions, and " << why_not;
  const int code = in_child([&] {
    if (!switch_to_user(*uid)) return 125;
    try {
      body();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "uncaught exception: " << e.what();
    } catch (...) {
      ADD_FAILURE() << "uncaught exception";
    }
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(code, 0) << "the checks run as user " << *uid << " failed (see above)";
}

}  // namespace quillpost::testing
