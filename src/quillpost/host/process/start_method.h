// How the application creates worker processes: "fork" (a copy of the running
// process) or "spawn" (a fresh start of the program). Chosen once per process,
// by the launcher before it starts the application (configure_multiprocessing).
// The application's agents and workers are threads today; a piece that starts
// a worker process reads the method here.
#pragma once

#include <optional>
#include <string>

namespace quillpost {

// Sets the method. Setting it again to the same method is allowed; to another
// throws std::logic_error, since workers may already rely on the first.
void set_start_method(const std::string& method);

// The method set, nullopt before.
std::optional<std::string> start_method();

}  // namespace quillpost
