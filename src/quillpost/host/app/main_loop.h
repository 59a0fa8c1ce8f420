// The main-loop queue: how the application's threads reach the main thread.
#pragma once

#include <string>

#include "quillpost/host/agent/main_loop_queue.h"

namespace quillpost {

// One queue for everything the main thread is told: the client's
// comms::Disconnected when it stops trying to connect, and exit requests.
using MainLoopQueue = agent::MainLoopQueue;

// The application is asked to end with `exit_code`.
struct ExitRequest {
  std::string reason;
  int exit_code = 0;
};

}  // namespace quillpost
