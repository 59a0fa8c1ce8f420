// The errors of a rejected command line. Their text is what the user sees.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace quillpost::main {

// The command line cannot be used; `what()` is the one message for the user.
class InvalidCommandLine : public std::runtime_error {
 public:
  explicit InvalidCommandLine(const std::string& message) : std::runtime_error(message) {}
};

// One option's value is wrong:
// "Error with commandline argument '--max-http-redirects', '31' is greater than 30."
class InvalidCommandLineArg : public InvalidCommandLine {
 public:
  InvalidCommandLineArg(const std::string& arg, const std::optional<std::string>& value,
                        const std::string& message)
      : InvalidCommandLine("Error with commandline argument '" + arg + "'" +
                           (value ? ", '" + *value + "'" : std::string(",")) + " " + message +
                           ".") {}
};

class InvalidComputerName : public InvalidCommandLine {
 public:
  explicit InvalidComputerName(const std::string& computer_name)
      : InvalidCommandLine("Computer name '" + computer_name +
                           "' is not valid. Computer names can only contain ASCII letters, "
                           "numbers and '.' and '-'.") {}
};

}  // namespace quillpost::main
