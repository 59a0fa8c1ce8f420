#include "test_connection.h"

#include <openssl/ssl.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <functional>
#include <stdexcept>
#include <utility>  // before Asio: see the notes on Boost 1.74

namespace quillpost::service::test {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

struct TestConnection::Impl {
  asio::io_context ioc;
  ssl::context context{ssl::context::tls_client};
  tcp::socket socket{ioc};
  std::optional<ssl::stream<tcp::socket&>> tls;
  std::string pending;
  bool closed = false;

  // Starts an operation and runs it to completion or to the deadline, when
  // it is cancelled and reported as timed out.
  error_code run(const std::function<void(std::function<void(error_code)>)>& start,
                 std::chrono::milliseconds timeout) {
    std::optional<error_code> result;
    start([&result](error_code ec) { result = ec; });
    ioc.restart();
    ioc.run_for(timeout);
    if (!result) {
      error_code ignored;
      socket.cancel(ignored);
      ioc.restart();
      ioc.run();
      return asio::error::timed_out;
    }
    return *result;
  }

  error_code read_some(std::chrono::milliseconds timeout) {
    std::array<char, 65536> buffer;
    std::size_t got = 0;
    auto ec = run(
        [&](auto done) {
          auto handler = [&got, done](error_code e, std::size_t n) {
            got = n;
            done(e);
          };
          if (tls) {
            tls->async_read_some(asio::buffer(buffer), handler);
          } else {
            socket.async_read_some(asio::buffer(buffer), handler);
          }
        },
        timeout);
    pending.append(buffer.data(), got);
    if (ec && ec != asio::error::timed_out) closed = true;
    return ec;
  }
};

TestConnection::TestConnection(int port, std::optional<TlsSettings> settings,
                               std::chrono::milliseconds timeout)
    : impl_(std::make_unique<Impl>()) {
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
  auto ec = impl_->run([&](auto done) { impl_->socket.async_connect(endpoint, done); }, timeout);
  if (ec) throw std::runtime_error("connect: " + ec.message());
  if (!settings) return;
  SSL_CTX_set_min_proto_version(impl_->context.native_handle(), TLS1_2_VERSION);
  if (!settings->ca_file.empty()) impl_->context.load_verify_file(settings->ca_file);
  impl_->context.set_verify_mode(settings->verify ? ssl::verify_peer : ssl::verify_none);
  impl_->tls.emplace(impl_->socket, impl_->context);
  if (settings->verify)
    impl_->tls->set_verify_callback(ssl::host_name_verification(settings->host_name));
  error_code not_ip;
  asio::ip::make_address(settings->host_name, not_ip);
  if (not_ip) SSL_set_tlsext_host_name(impl_->tls->native_handle(), settings->host_name.c_str());
  ec = impl_->run([&](auto done) { impl_->tls->async_handshake(ssl::stream_base::client, done); },
                  timeout);
  if (ec) throw std::runtime_error("TLS handshake: " + ec.message());
}

TestConnection::~TestConnection() = default;

bool TestConnection::send_raw(std::string_view bytes) {
  auto ec = impl_->run(
      [&](auto done) {
        auto handler = [done](error_code e, std::size_t) { done(e); };
        if (impl_->tls) {
          asio::async_write(*impl_->tls, asio::buffer(bytes.data(), bytes.size()), handler);
        } else {
          asio::async_write(impl_->socket, asio::buffer(bytes.data(), bytes.size()), handler);
        }
      },
      std::chrono::seconds(5));
  return !ec;
}

bool TestConnection::send(std::string_view event, const nlohmann::json& payload) {
  return send_raw(nlohmann::json{{"event", event}, {"payload", payload}}.dump() + "\n");
}

std::optional<std::string> TestConnection::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto newline = impl_->pending.find('\n');
    if (newline != std::string::npos) {
      std::string line = impl_->pending.substr(0, newline);
      impl_->pending.erase(0, newline + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (impl_->closed || left.count() <= 0) return std::nullopt;
    if (impl_->read_some(left) == asio::error::timed_out) return std::nullopt;
  }
}

std::optional<nlohmann::json> TestConnection::read_frame(std::chrono::milliseconds timeout) {
  auto line = read_line(timeout);
  if (!line) return std::nullopt;
  auto frame = nlohmann::json::parse(*line, nullptr, false);
  if (frame.is_discarded()) return std::nullopt;
  return frame;
}

std::optional<nlohmann::json> TestConnection::read_non_heartbeat(
    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto frame = read_frame(std::max(left, std::chrono::milliseconds(0)));
    if (!frame || frame->value("event", "") != "heartbeat") return frame;
  }
}

std::string TestConnection::read_all(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!impl_->closed) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || impl_->read_some(left) == asio::error::timed_out) break;
  }
  return std::exchange(impl_->pending, {});
}

bool TestConnection::closed() const {
  return impl_->closed;
}

nlohmann::json authenticate_message(const std::string& client_key, const std::string& computer_name,
                                    const std::string& connection_id) {
  return nlohmann::json{{"email", "demo@quillpost.test"}, {"computerName", computer_name},
                        {"clientKey", client_key},        {"inet", "127.0.0.1"},
                        {"worldUuid", "world-1"},         {"instanceUuid", "instance-1"},
                        {"connectionId", connection_id},  {"hostname", "test-host"},
                        {"username", "tester"},           {"version", "0.1.0"},
                        {"edition", "community"},         {"clientSessionId", "session-1"}};
}

Response https_request(int port, const TlsSettings& tls, std::string_view method,
                       std::string_view target, std::string_view body) {
  TestConnection connection(port, tls);
  connection.send_raw(std::string(method) + " " + std::string(target) +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + std::string(body));
  std::string text = connection.read_all();
  Response response;
  auto header_end = text.find("\r\n\r\n");
  if (text.rfind("HTTP/1.", 0) == 0 && header_end != std::string::npos) {
    response.status = std::atoi(text.c_str() + 9);
    response.body = text.substr(header_end + 4);
  }
  return response;
}

}  // namespace quillpost::service::test
