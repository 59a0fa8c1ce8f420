// The commands for people that talk to a running service through its control
// endpoint on 127.0.0.1: `print` queues a job for a computer, `jobs` lists the
// jobs with their states, `printers` the computers' printers with theirs.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillpost::service {

// Runs `args` (without the program name) when its first entry is a command;
// nullopt when it is not (the service's own command line). The exit status:
// 0 done, 1 the service refused or could not be reached, 2 a refused command
// line.
std::optional<int> run_command(const std::vector<std::string>& args, std::ostream& out,
                               std::ostream& err);

struct PrintCommand {
  int control_port = 0;
  nlohmann::ordered_json request;  // the body of POST /control/print
};
// The arguments after "print"; FILE is made absolute against the working
// directory. The text of what is wrong otherwise.
std::variant<PrintCommand, std::string> parse_print_command(const std::vector<std::string>& args);

// The jobs of a GET /control/jobs answer as a table for a terminal, every
// text escaped (reasons come from the computers).
std::string jobs_table(const nlohmann::json& answer);

}  // namespace quillpost::service
