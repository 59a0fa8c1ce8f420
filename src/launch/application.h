// The application this program runs: the agent runtime with its core, pubsub
// and schedule agents and the connection client.
#pragma once

#include <memory>

#include "quillpost/host/bootstrap.h"
#include "quillpost/host/build_info.h"

namespace quillpost::launch {

// Starts the agents for `context` and returns the application's front. The
// runtime stops when the application is stopped.
std::shared_ptr<Application> start_client_application(const AppContext& context,
                                                      const BuildInfo& build);

}  // namespace quillpost::launch
