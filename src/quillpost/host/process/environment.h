// The process environment, reached through a function that tests replace.
//
// The executable hands the real environment (`process_getenv`) down from its
// entry; everything else reads variables only through the function it is
// given, so no test has to change the real environment of its process.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quillpost {

// Reads one environment variable; nullopt when it is not set. An unset
// function reads as an empty environment.
using Getenv = std::function<std::optional<std::string>(const std::string&)>;

// The variable `name` of this process's environment.
std::optional<std::string> process_getenv(const std::string& name);

// `getenv(name)`, or nullopt when `getenv` is unset.
inline std::optional<std::string> read_env(const Getenv& getenv, const std::string& name) {
  return getenv ? getenv(name) : std::nullopt;
}

}  // namespace quillpost
