// The control endpoint: the service's state, pushes to the connected clients
// and dropping their connections, print jobs and printers (their handlers are
// in printing.cc), for tests and demos.
#include "service/server_impl.h"

namespace quillpost::service {

Reply Service::Impl::handle_control(const http::request<http::string_body>& request) {
  auto target = parse_target(std::string_view(request.target().data(), request.target().size()));
  if (!target) {
    return message_reply(http::status::bad_request, "The request target is not a valid URL.");
  }
  const bool get = request.method() == http::verb::get;
  const bool post = request.method() == http::verb::post;
  try {
    if (target->path == "/control/state" && get) {
      return json_reply(http::status::ok, state());
    }
    if (target->path == "/control/faults" && get) {
      return json_reply(http::status::ok, options.faults.to_json());
    }
    if (target->path == "/control/faults" && post) {
      if (std::string error = options.faults.set_json(json::parse(request.body()));
          !error.empty()) {
        return message_reply(http::status::bad_request, error);
      }
      write_log("faults now " + options.faults.to_json().dump());
      return json_reply(http::status::ok, options.faults.to_json());
    }
    if (target->path == "/control/push" && post) {
      return control_push(ojson::parse(request.body()));
    }
    if (target->path == "/control/drop" && post) {
      return control_drop();
    }
    if (target->path == "/control/print" && post) {
      return control_print(ojson::parse(request.body()));
    }
    if (target->path == "/control/cancel" && post) {
      return control_cancel(ojson::parse(request.body()));
    }
    if (target->path == "/control/jobs" && get) {
      // ?job=ID: that job alone, for callers that wait on one job often.
      std::optional<std::string> job_id;
      for (const auto& [key, value] : target->query) {
        if (key == "job") job_id = value;
      }
      return json_reply(http::status::ok, print_book.jobs_view(job_id));
    }
    if (target->path == "/control/crashes" && get) {
      return json_reply(http::status::ok, json{{"crashes", json(crash_reports)}});
    }
    if (target->path == "/control/printers" && get) {
      return json_reply(http::status::ok, print_book.printers_view());
    }
    if (target->path == "/control/scales" && get) {
      return json_reply(http::status::ok, scale_book.view());
    }
  } catch (const nlohmann::json::exception& e) {
    return message_reply(http::status::bad_request, std::string("bad request body: ") + e.what());
  }
  return message_reply(http::status::not_found, "No such control endpoint: " + target->path);
}
Reply Service::Impl::control_push(const ojson& body) {
  if (!body.is_object()) {
    return message_reply(http::status::bad_request, "Expected a JSON object.");
  }
  std::string line;
  std::string what;
  if (body.contains("raw")) {
    line = body.at("raw").get<std::string>() + "\n";
    what = "a raw line";
  } else if (body.value("oversized", false)) {
    line = oversized_line();
    what = "an oversized frame";
  } else {
    const std::string event = body.at("event").get<std::string>();
    line = encode_frame(event, body.contains("payload") ? body.at("payload") : ojson::object());
    if (line.size() - 1 > max_frame_bytes) {
      return message_reply(http::status::bad_request,
                           "The frame is over the limit; ask for \"oversized\".");
    }
    what = "'" + event + "'";
  }
  const int count = body.value("count", 1);
  const int interval_ms = body.value("intervalMs", 0);
  const std::string to = body.value("to", std::string("authenticated"));
  const std::string connection_id = body.value("connectionId", std::string());
  if (count < 1 || count > 10000000 || interval_ms < 0 || (to != "authenticated" && to != "all")) {
    return message_reply(
        http::status::bad_request,
        "count must be 1 or more, intervalMs 0 or more, to \"authenticated\" or \"all\".");
  }
  int reached = 0;
  auto targets = wires;  // a push may close a connection, which leaves the map
  for (auto& [id, wire] : targets) {
    if ((to == "all" || wire->authenticated()) &&
        (connection_id.empty() || wire->client_connection_id() == connection_id)) {
      wire->push([line](int) { return line; }, count, std::chrono::milliseconds(interval_ms));
      ++reached;
    }
  }
  write_log("control: push " + what + " x" + std::to_string(count) + " to " +
            std::to_string(reached) + " connection(s)");
  return json_reply(http::status::ok, json{{"connections", reached}});
}
Reply Service::Impl::control_drop() {
  auto targets = wires;
  for (auto& [id, wire] : targets) {
    wire->close("dropped by control request");
  }
  write_log("control: dropped " + std::to_string(targets.size()) + " connection(s)");
  return json_reply(http::status::ok, json{{"dropped", targets.size()}});
}
json Service::Impl::state() const {
  json connections = json::array();
  for (const auto& [id, wire] : wires) {
    connections.push_back(wire->info());
  }
  return json{{"connections", connections},
              {"faults", options.faults.to_json()},
              {"counts",
               {{"discoveries", discoveries},
                {"logins", logins},
                {"authentications", authentications},
                {"connectionsAccepted", wires_accepted}}},
              {"lastDiscovery", last_discovery},
              {"lastAuthenticate", json::parse(last_authenticate.dump())},
              {"printing", json::parse(print_book.summary().dump())}};
}

}  // namespace quillpost::service
