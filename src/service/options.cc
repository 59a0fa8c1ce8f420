#include "service/options.h"

#include <charconv>
#include <functional>
#include <map>

namespace quillpost::service {

const std::string_view usage_text =
    R"(quillpost-service: a local stand-in for the QuillPost cloud service.

Usage: quillpost-service [options]
       quillpost-service print [--control-port N] --computer NAME --printer NAME [--account EMAIL]
                               [--title TEXT] [--content-type TYPE] [--copies N]
                               [--option KEY=VALUE]... FILE
       quillpost-service jobs [--control-port N]
       quillpost-service printers [--control-port N]
       quillpost-service scales [--control-port N]
       quillpost-service crashes [--control-port N]

Options:
  --listen HOST              address to listen on [default: 127.0.0.1]
  --advertise-host HOST      socket address that discovery answers [default: the listen address]
  --http-port N              discovery and login over HTTP [default: 8470]
  --socket-port N            the client socket [default: 8471]
  --control-port N           the control endpoint (HTTP, loopback only) [default: 8472]
  --https-port N             discovery and login over HTTPS; needs --cert [default: 8473 with --cert]
  --cert FILE                server certificate chain (PEM) for HTTPS and a TLS socket
  --key FILE                 private key (PEM) of the certificate
  --socket-tls               the socket speaks TLS (needs --cert)
  --heartbeat-interval S     heartbeat interval that discovery answers [default: 30]
  --heartbeat-timeout S      heartbeat timeout that discovery answers [default: 90]
  --idle-timeout S           close a socket silent for S seconds; 0: never [default: 0]
  --accounts FILE            add the accounts of a JSON file (repeatable)
  --no-demo-account          leave out the built-in demo account
  --fault KNOB=VALUE         start with a fault switched on (repeatable); see docs/protocol.md
  --push-count N             push N messages to each client once it has authenticated [default: 0]
  --push-interval-ms MS      wait between pushed messages [default: 1000]
  --push-event NAME          event name of pushed messages [default: message]
  --service-version TEXT     version that discovery answers [default: 1.0.0]
  --clock-offset S           the Date header of every answer is S seconds off the
                             service's clock (negative: behind) [default: 0]
  --log-frames               log every frame in and out
  --jobs-file FILE           keep print jobs and printer lists in FILE across restarts
  --job-lease S              a job moves to another installation of its computer once the one
                             it is with has been away S seconds [default: 300]
  -h, --help                 show this text
A port of 0 picks a free port. The first line of output names the ports in use.

Commands, for a service running on this machine (through its control port [default: 8472]):
  print                      queue FILE for printer NAME of computer NAME (of the demo
                             account unless --account); prints the job id once queued.
                             --option takes media, sides, colorMode and pageRanges
  jobs                       list the print jobs with their states
  printers                   list each computer's printers with their states
  scales                     list each computer's scales with their last readings
  crashes                    list the crash reports clients sent
They exit with 0 when done, 1 when the service refused or could not be reached.
)";

namespace {

bool parse_int(std::string_view text, int low, int high, int& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out >= low && out <= high;
}

bool parse_double(std::string_view text, double low, double high, double& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size() && out >= low &&
         out <= high;
}

}  // namespace

ParsedCommandLine parse_command_line(const std::vector<std::string>& args) {
  ParsedCommandLine result;
  ServiceOptions& o = result.options;
  bool https_port_given = false;

  using Setter = std::function<std::string(const std::string&)>;
  auto port = [](int& field) -> Setter {
    return [&field](const std::string& v) {
      return parse_int(v, 0, 65535, field) ? ""
                                           : "expected a port number (0 to 65535), not '" + v + "'";
    };
  };
  auto seconds = [](double& field) -> Setter {
    return [&field](const std::string& v) {
      return parse_double(v, 0, 86400, field) ? ""
                                              : "expected seconds (0 to 86400), not '" + v + "'";
    };
  };
  auto text = [](std::string& field) -> Setter {
    return [&field](const std::string& v) {
      field = v;
      return std::string();
    };
  };
  const std::map<std::string, Setter, std::less<>> valued{
      {"--listen", text(o.listen_host)},
      {"--advertise-host",
       [&](const std::string& v) {
         o.advertise_host = v;
         return std::string();
       }},
      {"--http-port", port(o.http_port)},
      {"--socket-port", port(o.socket_port)},
      {"--control-port", port(o.control_port)},
      {"--https-port",
       [&](const std::string& v) {
         https_port_given = true;
         return port(o.https_port)(v);
       }},
      {"--cert", text(o.cert_file)},
      {"--key", text(o.key_file)},
      {"--heartbeat-interval", seconds(o.heartbeat_interval)},
      {"--heartbeat-timeout", seconds(o.heartbeat_timeout)},
      {"--idle-timeout", seconds(o.idle_timeout)},
      {"--accounts",
       [&](const std::string& v) {
         o.accounts_files.push_back(v);
         return std::string();
       }},
      {"--fault", [&](const std::string& v) { return o.faults.set_assignment(v); }},
      {"--push-count",
       [&](const std::string& v) {
         return parse_int(v, 0, 100000000, o.push_count) ? "" : "expected a count, not '" + v + "'";
       }},
      {"--push-interval-ms",
       [&](const std::string& v) {
         return parse_int(v, 0, 86400000, o.push_interval_ms)
                    ? ""
                    : "expected milliseconds, not '" + v + "'";
       }},
      {"--push-event", text(o.push_event)},
      {"--service-version", text(o.service_version)},
      {"--jobs-file", text(o.jobs_file)},
      {"--job-lease", seconds(o.job_lease)},
      {"--clock-offset",
       [&](const std::string& v) {
         return parse_double(v, -864000, 864000, o.clock_offset)
                    ? ""
                    : "expected seconds (-864000 to 864000), not '" + v + "'";
       }},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name == "-h" || name == "--help") {
      result.help = true;
      continue;
    }
    if (name == "--socket-tls" || name == "--no-demo-account" || name == "--log-frames") {
      if (value) {
        result.error = name + " takes no value";
        return result;
      }
      (name == "--socket-tls"   ? o.socket_tls
       : name == "--log-frames" ? o.log_frames
                                : o.demo_account) = name != "--no-demo-account";
      continue;
    }
    auto setter = valued.find(name);
    if (setter == valued.end()) {
      result.error = "unknown option '" + name + "'";
      return result;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        result.error = name + " needs a value";
        return result;
      }
      value = args[++i];
    }
    if (std::string error = setter->second(*value); !error.empty()) {
      result.error = name + ": " + error;
      return result;
    }
  }

  if (o.cert_file.empty() != o.key_file.empty()) {
    result.error = "--cert and --key go together";
  } else if (o.cert_file.empty() && (https_port_given || o.socket_tls)) {
    result.error =
        std::string(https_port_given ? "--https-port" : "--socket-tls") + " needs --cert and --key";
  } else if (!o.cert_file.empty() && !https_port_given) {
    o.https_port = default_https_port;
  }
  return result;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      int high = hex_value(text[i + 1]);
      int low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (c == '+' && plus_is_space) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::optional<Target> parse_target(std::string_view target) {
  Target result;
  auto question = target.find('?');
  auto path = percent_decode(target.substr(0, question), false);
  if (!path) return std::nullopt;
  result.path = std::move(*path);
  if (question == std::string_view::npos) return result;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    auto equals = pair.find('=');
    auto key = percent_decode(pair.substr(0, equals), true);
    auto value =
        percent_decode(equals == std::string_view::npos ? "" : pair.substr(equals + 1), true);
    if (!key || !value) return std::nullopt;
    result.query.emplace_back(std::move(*key), std::move(*value));
  }
  return result;
}

}  // namespace quillpost::service
