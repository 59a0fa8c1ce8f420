// The application this program runs: the agent runtime with its core, pubsub
// and schedule agents, the web interface, the connection client and the
// printing agent.
//
// It is built as its own module (libquillpost_app.so), which `launch` opens
// only when it starts the application: the checks and the help screen never
// load the runtime, TLS or the HTTP engines.
#pragma once

#include <memory>

#include "quillpost/host/app/bootstrap.h"
#include "quillpost/host/config/build_info.h"

namespace quillpost::launch {

// Starts the agents for `context` and returns the application's front. The
// runtime stops when the application is stopped.
std::shared_ptr<Application> start_client_application(const AppContext& context,
                                                      const BuildInfo& build);

// The module's entry point, by name: stores start_client_application's result
// in `*application`; its exceptions pass through to the caller.
inline constexpr const char* kApplicationModule = "libquillpost_app.so";
inline constexpr const char* kApplicationEntry = "quillpost_start_client_application";
using StartApplicationEntry = void (*)(const AppContext* context, const BuildInfo* build,
                                       std::shared_ptr<Application>* application);

}  // namespace quillpost::launch
