// A client connection for the service's tests: plain TCP or TLS to a
// loopback port, with a deadline on every step, reading line by line.
#pragma once

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace quillpost::service::test {

struct TlsSettings {
  std::string ca_file;                  // trusted CA (PEM); empty: no CA loaded
  std::string host_name = "127.0.0.1";  // checked against the certificate
  bool verify = true;
};

class TestConnection {
 public:
  // Connects to 127.0.0.1:`port`, then does the TLS handshake when `tls` is
  // given. Throws std::runtime_error naming the step that failed.
  explicit TestConnection(int port, std::optional<TlsSettings> tls = std::nullopt,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~TestConnection();

  // Writes `bytes` as they are; false when the write fails.
  bool send_raw(std::string_view bytes);
  bool send(std::string_view event, const nlohmann::json& payload);

  // The next line without its line feed; nullopt when the peer closed or
  // nothing came within `timeout`.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next frame as a JSON object; nullopt as for read_line, or when the
  // line is not JSON.
  std::optional<nlohmann::json> read_frame(
      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next frame whose event is not "heartbeat".
  std::optional<nlohmann::json> read_non_heartbeat(
      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Everything until the peer closes.
  std::string read_all(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whether the peer has closed the connection (seen by a read).
  bool closed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The twelve-entry authenticate message a client sends.
nlohmann::json authenticate_message(const std::string& client_key,
                                    const std::string& computer_name = "TEST-PC",
                                    const std::string& connection_id = "conn-1");

struct Response {
  int status = 0;
  std::string body;
};
// One HTTPS request to 127.0.0.1:`port`; throws as the constructor does.
Response https_request(int port, const TlsSettings& tls, std::string_view method,
                       std::string_view target, std::string_view body = {});

}  // namespace quillpost::service::test
