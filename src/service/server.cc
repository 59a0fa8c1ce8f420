#include "service/server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <csignal>
#include <stdexcept>

#include "quillpost/host/base/endpoint_text.h"
#include "quillpost/host/base/openssl.h"
#include "service/server_impl.h"

namespace quillpost::service {
namespace {

// Query parameters every discovery request carries.
constexpr std::array<std::string_view, 5> discovery_params{"version", "edition", "computer_name",
                                                           "world_id", "instance_id"};

std::string tls_error_text() {
  std::string text = openssl_error_text();
  return text.empty() ? "unknown OpenSSL error" : text;
}

}  // namespace

void Service::Impl::setup() {
  load_jobs();
  if (!options.cert_file.empty()) {
    tls.emplace(ssl::context::tls_server);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::single_dh_use);
    SSL_CTX* ctx = tls->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(ctx, options.cert_file.c_str()) != 1) {
      throw std::runtime_error("cannot load certificate " + options.cert_file + ": " +
                               tls_error_text());
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, options.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("cannot load private key " + options.key_file + ": " +
                               tls_error_text());
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
      throw std::runtime_error("private key " + options.key_file + " does not match certificate " +
                               options.cert_file);
    }
  }
  http_acceptor.emplace(open_acceptor(options.http_port, "HTTP"));
  if (tls && options.https_port >= 0) {
    https_acceptor.emplace(open_acceptor(options.https_port, "HTTPS"));
  }
  socket_acceptor.emplace(open_acceptor(options.socket_port, "the socket"));
  // The control endpoint answers anyone without a password, so it never
  // leaves the machine, whatever --listen says.
  control_acceptor.emplace(open_acceptor(options.control_port, "control", true));
  ports.http = http_acceptor->local_endpoint().port();
  ports.https = https_acceptor ? https_acceptor->local_endpoint().port() : -1;
  ports.socket = socket_acceptor->local_endpoint().port();
  ports.control = control_acceptor->local_endpoint().port();
  accept(*http_acceptor, "http");
  if (https_acceptor) accept(*https_acceptor, "https");
  accept(*socket_acceptor, "socket");
  accept(*control_acceptor, "control");
}

tcp::acceptor Service::Impl::open_acceptor(int port, const char* what, bool loopback_only) {
  error_code ec;
  auto address = asio::ip::make_address(options.listen_host, ec);
  if (ec) {
    throw std::runtime_error("--listen: '" + options.listen_host + "' is not an IP address");
  }
  if (loopback_only && !address.is_loopback()) {
    address = address.is_v6() ? asio::ip::address(asio::ip::address_v6::loopback())
                              : asio::ip::address(asio::ip::address_v4::loopback());
  }
  tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
  tcp::acceptor acceptor(ioc);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error(std::string("cannot listen for ") + what + " on " +
                             endpoint_text(endpoint) + ": " + ec.message());
  }
  return acceptor;
}

void Service::Impl::accept(tcp::acceptor& acceptor, const char* kind) {
  acceptor.async_accept([this, &acceptor, kind](error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      write_log(std::string("accept on ") + kind + " failed: " + ec.message());
      auto timer = std::make_shared<asio::steady_timer>(ioc, accept_retry_wait);
      timer->async_wait([this, &acceptor, kind, timer](error_code) { accept(acceptor, kind); });
      return;
    }
    on_accepted(acceptor, std::move(socket));
    accept(acceptor, kind);
  });
}

void Service::Impl::on_accepted(tcp::acceptor& acceptor, tcp::socket socket) {
  error_code ec;
  auto peer = socket.remote_endpoint(ec);
  if (ec) return;  // the peer left already
  if (&acceptor == &*socket_acceptor) {
    ++wires_accepted;
    socket.set_option(tcp::no_delay(true), ec);
    start_wire_session(*this, next_wire_id++, std::move(socket),
                       tls && options.socket_tls ? &*tls : nullptr, endpoint_text(peer));
  } else if (&acceptor == &*https_acceptor) {
    start_http_session(*this, std::move(socket), &*tls, false, peer.address());
  } else {
    start_http_session(*this, std::move(socket), nullptr, &acceptor == &*control_acceptor,
                       peer.address());
  }
}

Reply Service::Impl::handle_public(const http::request<http::string_body>& request,
                                   const asio::ip::address& peer) {
  auto target = parse_target(std::string_view(request.target().data(), request.target().size()));
  if (!target) {
    return message_reply(http::status::bad_request, "The request target is not a valid URL.");
  }
  if (target->path == discovery_path) {
    if (request.method() != http::verb::get) {
      return message_reply(http::status::method_not_allowed, "Discovery takes GET.");
    }
    return discover(*target, peer);
  }
  if (target->path == login_path) {
    if (request.method() != http::verb::post) {
      return message_reply(http::status::method_not_allowed, "Login takes POST.");
    }
    return login(request.body());
  }
  if (target->path == "/v1/crash-reports") {
    if (request.method() != http::verb::post) {
      return message_reply(http::status::method_not_allowed, "Crash reports take POST.");
    }
    return crash_report(request.body(), peer);
  }
  if (target->path.starts_with("/v1/documents/")) {
    if (request.method() != http::verb::get) {
      return message_reply(http::status::method_not_allowed, "Documents take GET.");
    }
    return serve_document(*target,
                          std::string_view(request.target().data(), request.target().size()), peer);
  }
  return message_reply(http::status::not_found, "No such endpoint: " + target->path);
}

// A crash report of a client: a JSON object with at least the signal and the
// time. The newest 100 are kept in memory, each with the time it came.
Reply Service::Impl::crash_report(const std::string& body, const asio::ip::address& peer) {
  json report = json::parse(body, nullptr, false);
  if (!report.is_object() || !report.value("signal", json()).is_number_integer() ||
      !report.value("time", json()).is_number_integer() ||
      !report.value("frames", json::array()).is_array()) {
    return message_reply(http::status::bad_request,
                         "A crash report is a JSON object with signal, time and frames.");
  }
  report["receivedFrom"] = peer.to_string();
  write_log("crash report from " + peer.to_string() + ": signal " +
            std::to_string(report["signal"].get<std::int64_t>()) + ", " +
            std::to_string(report.value("frames", json::array()).size()) + " frames");
  crash_reports.push_back(std::move(report));
  while (crash_reports.size() > 100) crash_reports.pop_front();
  return json_reply(http::status::created, json{{"stored", true}});
}

Reply Service::Impl::discover(const Target& target, const asio::ip::address& peer) {
  ++discoveries;
  json params = json::object();
  std::string shown;
  for (const auto& [key, value] : target.query) {
    params[key] = value;
    shown += (shown.empty() ? "" : " ") + key + "=" + value;
  }
  last_discovery = params;
  const std::string& fault = options.faults.get("discovery");
  write_log("discovery from " + peer.to_string() + ": " + shown +
            (fault == "ok" ? "" : " (fault discovery=" + fault + ")"));
  if (fault == "500") {
    return message_reply(http::status::internal_server_error,
                         "Internal error (fault discovery=500).");
  }
  if (fault == "malformed") {
    return text_reply(http::status::ok, R"({"address": "127.0.0.1", "port": )");
  }
  if (fault == "hang") {
    return hang_reply();
  }
  std::string missing;
  for (auto key : discovery_params) {
    if (!params.contains(key)) missing += (missing.empty() ? "" : ", ") + std::string(key);
  }
  if (!missing.empty()) {
    return message_reply(http::status::bad_request, "Missing query parameters: " + missing + ".");
  }
  const std::string address = options.advertise_host.value_or(options.listen_host);
  json answer{{"address", address},
              {"port", fault == "closed-port" ? closed_port() : ports.socket},
              {"remote_address", peer.to_string()},
              {"version", options.service_version},
              {"heartbeat",
               {{"interval", seconds_json(options.heartbeat_interval)},
                {"timeout", seconds_json(options.heartbeat_timeout)}}},
              {"tls", tls.has_value() && options.socket_tls}};
  return json_reply(http::status::ok, answer);
}

int Service::Impl::closed_port() {
  // A port that was free a moment ago: bound, read and released again.
  try {
    tcp::acceptor probe = open_acceptor(0, "a closed port");
    int port = probe.local_endpoint().port();
    error_code ignored;
    probe.close(ignored);
    return port;
  } catch (const std::runtime_error& e) {
    write_log(std::string("no closed port to offer: ") + e.what());
    return 1;  // reserved (tcpmux), closed on any ordinary machine
  }
}

Reply Service::Impl::login(const std::string& body) {
  ++logins;
  json request = json::parse(body, nullptr, false);
  if (request.is_discarded() || !request.is_object() || !request.contains("email") ||
      !request["email"].is_string() || !request.contains("password") ||
      !request["password"].is_string()) {
    return message_reply(http::status::bad_request,
                         "Expected a JSON object with a text email and password.");
  }
  const std::string email = request["email"].get<std::string>();
  const Account* account = accounts.login(email, request["password"].get<std::string>());
  if (account == nullptr) {
    write_log("login refused for " + email);
    return message_reply(http::status::unauthorized, "Invalid email or password.");
  }
  write_log("login of " + account->email + " (account " + std::to_string(account->id) + ")");
  return json_reply(
      http::status::ok,
      json{{"id", account->id}, {"email", account->email}, {"clientKey", account->client_key}});
}

Service::Service(ServiceOptions options, AccountStore accounts, LogSink log)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(accounts), std::move(log))) {
  impl_->setup();
}

Service::~Service() = default;

const BoundPorts& Service::ports() const {
  return impl_->ports;
}

std::string Service::listening_line() const {
  auto at = [](const std::optional<tcp::acceptor>& acceptor) {
    error_code ec;
    return acceptor ? endpoint_text(acceptor->local_endpoint(ec)) : std::string("-");
  };
  const Impl& i = *impl_;
  return "quillpost-service listening http=" + at(i.http_acceptor) +
         " https=" + at(i.https_acceptor) + " socket=" + at(i.socket_acceptor) +
         " control=" + at(i.control_acceptor) +
         " tls=" + (i.tls && i.options.socket_tls ? "true" : "false");
}

void Service::run(bool handle_signals) {
  if (handle_signals) {
    impl_->signals.add(SIGINT);
    impl_->signals.add(SIGTERM);
    impl_->signals.async_wait([this](error_code ec, int signal) {
      if (ec) return;
      impl_->write_log("stopping on signal " + std::to_string(signal));
      impl_->ioc.stop();
    });
  }
  for (const std::string& note : impl_->startup_notes) impl_->write_log(note);
  impl_->startup_notes.clear();
  impl_->ioc.run();
}

void Service::stop() {
  impl_->ioc.stop();
}

}  // namespace quillpost::service
