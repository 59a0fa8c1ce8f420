#include "service/commands.h"

// clang-format off
#include <utility>  // before Asio: see the notes on Boost 1.74
// clang-format on

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>

#include "quillpost/host/base/text.h"
#include "service/options.h"
#include "service/printers.h"

namespace quillpost::service {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

// Queuing a job waits for the service to read the whole document for its
// SHA-256: seconds for the largest ones.
constexpr auto request_timeout = std::chrono::seconds(120);

struct Answer {
  int status = 0;
  std::string body;
  std::string error;  // set when there is no answer
};

Answer control_request(int port, http::verb method, const std::string& target,
                       const std::string& body) {
  asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  http::request<http::string_body> request(method, target, 11);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  request.set(http::field::content_type, "application/json");
  request.body() = body;
  request.prepare_payload();
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(256 * 1024 * 1024);
  Answer answer;
  auto fail = [&answer](const char* step, beast::error_code ec) {
    answer.error = std::string(step) + ": " + ec.message();
  };
  stream.expires_after(request_timeout);
  stream.async_connect(
      tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)),
      [&](beast::error_code connect_ec) {
        if (connect_ec) return fail("cannot connect", connect_ec);
        http::async_write(stream, request, [&](beast::error_code write_ec, std::size_t) {
          if (write_ec) return fail("cannot send the request", write_ec);
          http::async_read(stream, buffer, parser, [&](beast::error_code read_ec, std::size_t) {
            if (read_ec) return fail("no answer", read_ec);
            answer.status = static_cast<int>(parser.get().result_int());
            answer.body = parser.get().body();
          });
        });
      });
  ioc.run();
  return answer;
}

// The answer's message for people, or its body when it has none.
std::string message_of(const Answer& answer) {
  json body = json::parse(answer.body, nullptr, false);
  if (body.is_object() && body.contains("message") && body["message"].is_string()) {
    return escape_control(body["message"].get<std::string>());
  }
  return escape_control(answer.body);
}

bool parse_port(const std::string& text, int& port) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  return ec == std::errc() && end == text.data() + text.size() && port > 0 && port <= 65535;
}

// Splits "--name=value" and "--name value" alike; returns the options in
// order and the other arguments apart. The text of what is wrong otherwise.
struct Split {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> positional;
};
std::variant<Split, std::string> split(const std::vector<std::string>& args,
                                       const std::vector<std::string_view>& valued) {
  Split result;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    if (name.rfind("--", 0) != 0 || name == "--") {
      result.positional.push_back(name);
      continue;
    }
    std::optional<std::string> value;
    if (auto equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (std::find(valued.begin(), valued.end(), name) == valued.end()) {
      return "unknown option '" + name + "'";
    }
    if (!value) {
      if (i + 1 >= args.size()) return name + " needs a value";
      value = args[++i];
    }
    result.options.emplace_back(name, *value);
  }
  return result;
}

int run_print(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  auto parsed = parse_print_command(args);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    err << "quillpost-service print: " << *error << "\n\n" << usage_text;
    return 2;
  }
  const PrintCommand& command = std::get<PrintCommand>(parsed);
  Answer answer = control_request(command.control_port, http::verb::post, "/control/print",
                                  command.request.dump());
  if (!answer.error.empty()) {
    err << "quillpost-service print: no service on 127.0.0.1:" << command.control_port << " ("
        << answer.error << ")\n";
    return 1;
  }
  json body = json::parse(answer.body, nullptr, false);
  if (answer.status != 200 || !body.is_object() || !body.contains("jobId") ||
      !body["jobId"].is_string()) {
    err << "quillpost-service print: the service refused the job (" << answer.status
        << "): " << message_of(answer) << "\n";
    return 1;
  }
  out << escape_control(body["jobId"].get<std::string>()) << "\n";
  return 0;
}

// The list a read-only command prints: `command`'s arguments checked (only
// --control-port), then GET `path` of the control endpoint, whose answer must
// be an object holding the list `key`. Unset after a line on `err`; `code`
// is then the exit code (2: bad arguments, 1: no or a bad answer).
std::optional<json> control_list(std::string_view command, const std::vector<std::string>& args,
                                 const std::string& path, const std::string& key, std::ostream& err,
                                 int& code) {
  auto parsed = split(args, {"--control-port"});
  int port = default_control_port;
  std::string error =
      std::holds_alternative<std::string>(parsed) ? std::get<std::string>(parsed) : std::string();
  if (error.empty()) {
    const Split& s = std::get<Split>(parsed);
    if (!s.positional.empty()) error = "unexpected argument '" + s.positional.front() + "'";
    for (const auto& [name, value] : s.options) {
      if (!parse_port(value, port)) error = name + ": expected a port number, not '" + value + "'";
    }
  }
  if (!error.empty()) {
    err << "quillpost-service " << command << ": " << error << "\n\n" << usage_text;
    code = 2;
    return std::nullopt;
  }
  code = 1;
  Answer answer = control_request(port, http::verb::get, path, "");
  if (!answer.error.empty()) {
    err << "quillpost-service " << command << ": no service on 127.0.0.1:" << port << " ("
        << answer.error << ")\n";
    return std::nullopt;
  }
  json body = json::parse(answer.body, nullptr, false);
  if (answer.status != 200 || !body.is_object() || !body.contains(key) || !body[key].is_array()) {
    err << "quillpost-service " << command << ": the service answered " << answer.status << ": "
        << message_of(answer) << "\n";
    return std::nullopt;
  }
  return body;
}

int run_jobs(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int code = 0;
  const auto body = control_list("jobs", args, "/control/jobs", "jobs", err, code);
  if (!body) return code;
  out << jobs_table(*body);
  return 0;
}

std::string cell(const json& value) {
  if (value.is_null()) return "-";
  std::string text = escape_control(value.is_string() ? value.get<std::string>() : value.dump());
  return text.empty() ? "-" : text;
}

// Rows under a heading row as a table for a terminal, columns two blanks apart.
std::string table_text(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], utf8_length(row[i]));
    }
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - utf8_length(row[i]) + 2, ' ');
    }
    table += line + "\n";
  }
  return table;
}

// One row per crash report received: when, the signal, the thread, the
// innermost named frame.
int run_crashes(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int code = 0;
  const auto found = control_list("crashes", args, "/control/crashes", "crashes", err, code);
  if (!found) return code;
  std::vector<std::vector<std::string>> rows{
      {"TIME", "SIGNAL", "THREAD", "FROM", "FIRST FUNCTION"}};
  for (const json& report : (*found)["crashes"]) {
    std::string function = "-";
    for (const json& frame : report.value("frames", json::array())) {
      if (frame.is_object() && frame.contains("function")) {
        function = cell(frame["function"]);
        break;
      }
    }
    rows.push_back({cell(report.value("time", json())), cell(report.value("signalName", json())),
                    cell(report.value("thread", json())),
                    cell(report.value("receivedFrom", json())), function});
  }
  out << table_text(rows);
  if (rows.size() == 1) out << "(no crash reports)\n";
  return 0;
}

int run_printers(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int code = 0;
  const auto found = control_list("printers", args, "/control/printers", "computers", err, code);
  if (!found) return code;
  const json& body = *found;
  std::vector<std::vector<std::string>> rows{
      {"COMPUTER", "PRINTER", "STATE", "ACCEPTING", "DEFAULT", "UPDATED"}};
  for (const json& computer : body["computers"]) {
    for (const json& printer : computer.value("printers", json::array())) {
      std::string state = cell(printer.value("state", json()));
      std::string reasons;
      for (const json& reason : printer.value("stateReasons", json::array())) {
        reasons += (reasons.empty() ? "" : ", ") + cell(reason);
      }
      if (!reasons.empty()) state += " (" + reasons + ")";
      rows.push_back({cell(computer.value("computer", json())), cell(printer.value("name", json())),
                      state, printer.value("acceptingJobs", false) ? "yes" : "no",
                      printer.value("default", false) ? "yes" : "no",
                      cell(computer.value("updatedAt", json()))});
    }
  }
  out << table_text(rows);
  if (rows.size() == 1) out << "(no printers)\n";
  return 0;
}

int run_scales(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int code = 0;
  const auto found = control_list("scales", args, "/control/scales", "computers", err, code);
  if (!found) return code;
  std::vector<std::vector<std::string>> rows{
      {"COMPUTER", "SCALE", "NAME", "KIND", "STATUS", "STABLE", "GRAMS", "VALUE", "READ AT"}};
  for (const json& computer : (*found)["computers"]) {
    for (const json& scale : computer.value("scales", json::array())) {
      const json reading = scale.value("reading", json());
      const bool has = reading.is_object();
      std::string status = has ? cell(reading.value("status", json())) : "-";
      if (has && !reading.value("reason", std::string()).empty()) {
        status += " (" + cell(reading["reason"]) + ")";
      }
      std::string value = has ? cell(reading.value("value", json())) : "-";
      if (has && reading.value("unit", json()).is_string()) value += " " + cell(reading["unit"]);
      rows.push_back({cell(computer.value("computer", json())), cell(scale.value("id", json())),
                      cell(scale.value("name", json())), cell(scale.value("kind", json())),
                      computer.value("enabled", false) ? status : "disabled",
                      has ? (reading.value("stable", false) ? "yes" : "no") : "-",
                      has ? cell(reading.value("grams", json())) : "-", value,
                      has ? cell(reading.value("receivedAt", json())) : "-"});
    }
  }
  out << table_text(rows);
  if (rows.size() == 1) out << "(no scales)\n";
  return 0;
}

}  // namespace

std::optional<int> run_command(const std::vector<std::string>& args, std::ostream& out,
                               std::ostream& err) {
  if (args.empty() ||
      (args.front() != "print" && args.front() != "jobs" && args.front() != "printers" &&
       args.front() != "scales" && args.front() != "crashes")) {
    return std::nullopt;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (std::find(rest.begin(), rest.end(), "--help") != rest.end() ||
      std::find(rest.begin(), rest.end(), "-h") != rest.end()) {
    out << usage_text;
    return 0;
  }
  if (args.front() == "printers") return run_printers(rest, out, err);
  if (args.front() == "scales") return run_scales(rest, out, err);
  if (args.front() == "crashes") return run_crashes(rest, out, err);
  return args.front() == "print" ? run_print(rest, out, err) : run_jobs(rest, out, err);
}

std::variant<PrintCommand, std::string> parse_print_command(const std::vector<std::string>& args) {
  auto parsed = split(args, {"--control-port", "--computer", "--printer", "--account", "--title",
                             "--content-type", "--copies", "--option"});
  if (auto* error = std::get_if<std::string>(&parsed)) return *error;
  const Split& s = std::get<Split>(parsed);
  PrintCommand command;
  command.control_port = default_control_port;
  ojson& request = command.request;
  ojson options = ojson::object();
  for (const auto& [name, value] : s.options) {
    if (name == "--control-port") {
      if (!parse_port(value, command.control_port)) {
        return "--control-port: expected a port number, not '" + value + "'";
      }
    } else if (name == "--copies") {
      int copies = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), copies);
      if (ec != std::errc() || end != value.data() + value.size()) {
        return "--copies: expected a number, not '" + value + "'";
      }
      request["copies"] = copies;
    } else if (name == "--option") {
      const auto equals = value.find('=');
      if (equals == std::string::npos || equals == 0) {
        return "--option: expected KEY=VALUE, not '" + value + "'";
      }
      options[value.substr(0, equals)] = value.substr(equals + 1);
    } else {
      // --computer, --printer, --account, --title, --content-type
      static const std::map<std::string, std::string, std::less<>> keys{
          {"--computer", "computer"},
          {"--printer", "printer"},
          {"--account", "account"},
          {"--title", "title"},
          {"--content-type", "contentType"}};
      request[keys.at(name)] = value;
    }
  }
  if (!request.contains("computer")) return "--computer is required";
  if (!request.contains("printer")) return "--printer is required";
  if (s.positional.size() != 1) return "name exactly one FILE to print";
  std::error_code ec;
  std::filesystem::path file = std::filesystem::absolute(s.positional.front(), ec);
  if (ec) return "cannot make " + s.positional.front() + " an absolute path: " + ec.message();
  request["file"] = file.lexically_normal().string();
  if (!options.empty()) request["options"] = options;
  return command;
}

std::string jobs_table(const json& answer) {
  static const std::vector<std::pair<std::string, std::string>> columns{
      {"JOB", "jobId"},    {"COMPUTER", "computer"},        {"PRINTER", "printer"},
      {"STATE", "state"},  {"PRINTER JOB", "printerJobId"}, {"TITLE", "title"},
      {"REASON", "reason"}};
  std::vector<std::vector<std::string>> rows{{}};
  for (const auto& [heading, key] : columns) rows.front().push_back(heading);
  for (const json& job : answer.at("jobs")) {
    std::vector<std::string> row;
    for (const auto& [heading, key] : columns) {
      std::string text = cell(job.contains(key) ? job[key] : json(nullptr));
      if (key == "state" && job.contains("cancelRequestedAt") &&
          !job["cancelRequestedAt"].is_null() && text != "cancelled") {
        text += " (cancelling)";
      }
      row.push_back(std::move(text));
    }
    rows.push_back(std::move(row));
  }
  std::string table = table_text(rows);
  if (rows.size() == 1) table += "(no jobs)\n";
  return table;
}

}  // namespace quillpost::service
