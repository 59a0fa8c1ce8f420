#pragma once

namespace quillpost::testing {

// A loopback TCP port that was free a moment ago (bound to port 0, then
// released), for servers that take their port from a command line.
int free_port();

}  // namespace quillpost::testing
