// Tests of paths that cannot be written or read. Root ignores file
// permissions, so as root such a test runs in a child process switched to a
// user id that no account uses; as anyone else it runs as it is.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace quillpost::testing {

// The first of `count` consecutive user ids that no account uses, once a child
// of this process has switched to it (and its group of the same number). Needs
// root; nullopt otherwise, or where no child can switch (a container with a
// narrow id map), with the reason in `why_not`.
std::optional<uid_t> spare_uid(std::string& why_not, int count = 1);

// Drops every supplementary group and switches this process to `uid` and the
// group of the same number, for real, effective and saved ids. False when a
// step fails.
bool switch_to_user(uid_t uid);

// Runs `body` where file permissions apply: here when this process is not
// root, else in a forked child switched to a spare uid. The child's assertion
// failures (GoogleTest prints them) fail the current test. Skips the test,
// giving the reason, when no child can switch.
void where_permissions_apply(const std::function<void()>& body);

}  // namespace quillpost::testing
