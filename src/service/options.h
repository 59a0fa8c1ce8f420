// The command line of quillpost-service.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/faults.h"

namespace quillpost::service {

extern const std::string_view usage_text;

// Ports picked when the command line names none; 0 asks the system for a free one.
inline constexpr int default_http_port = 8470;
inline constexpr int default_socket_port = 8471;
inline constexpr int default_control_port = 8472;
inline constexpr int default_https_port = 8473;

struct ServiceOptions {
  std::string listen_host = "127.0.0.1";
  // The socket address that discovery answers; the listen address when unset.
  std::optional<std::string> advertise_host;
  int http_port = default_http_port;
  int socket_port = default_socket_port;
  int control_port = default_control_port;
  // HTTPS is served only with a certificate; -1: no HTTPS.
  int https_port = -1;
  std::string cert_file;
  std::string key_file;
  bool socket_tls = false;
  double heartbeat_interval = 30;
  double heartbeat_timeout = 90;
  // A socket whose peer sends nothing for this many seconds is closed; 0: never.
  double idle_timeout = 0;
  std::vector<std::string> accounts_files;
  bool demo_account = true;
  Faults faults;
  // Messages pushed to every connection once it has authenticated.
  std::string push_event = "message";
  int push_count = 0;
  int push_interval_ms = 1000;
  std::string service_version = "1.0.0";
  bool log_frames = false;
  // Print jobs and printer lists are kept in this file across restarts; empty: in memory only.
  std::string jobs_file;
  // A job moves to another installation of its computer only after the one
  // it is with has been away this many seconds (and it has not reached
  // "printing").
  double job_lease = 300;
  // Added to the time of the Date header of every HTTP answer, to play a
  // service whose clock (or a client's) is off.
  double clock_offset = 0;
};

struct ParsedCommandLine {
  ServiceOptions options;
  bool help = false;
  std::string error;  // non-empty: the command line was refused
};

// `args` without the program name. Options take their value as the next
// argument or after "=".
ParsedCommandLine parse_command_line(const std::vector<std::string>& args);

// Splits a request target "/path?a=1&b=x%20y" into its decoded path and
// query pairs, in order. Nullopt when a percent escape is broken.
struct Target {
  std::string path;
  std::vector<std::pair<std::string, std::string>> query;
};
std::optional<Target> parse_target(std::string_view target);

}  // namespace quillpost::service
