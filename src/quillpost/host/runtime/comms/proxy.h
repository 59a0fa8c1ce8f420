// Proxy handshakes over a connected TCP socket: HTTP CONNECT with Basic
// credentials, SOCKS4, SOCKS4a and SOCKS5 with user name and password.
// Internal to the connection's socket (socket.cc), which runs them on its
// strand under its deadline.
#pragma once

// clang-format off
#include <utility>  // before Asio: its coroutine support needs std::exchange
// clang-format on

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cstdint>
#include <string>

#include "quillpost/host/base/text.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::comms {

// What a connect is doing, for the texts of its failures.
struct ConnectProgress {
  std::string step;        // what is under way: "proxy 10.0.0.1:3128: HTTP CONNECT ..."
  double timeout = 0;      // seconds, the bound on the whole connect
  bool timed_out = false;  // the deadline fired and closed the socket

  // Throws SocketFailure "<step>: <why>".
  [[noreturn]] void fail(const std::string& why) const {
    throw SocketFailure(SocketFailure::Kind::failed, step + ": " + why);
  }
  // Throws for an error: a time-out when the deadline caused it.
  void check(const boost::system::error_code& ec) const {
    if (!ec) return;
    if (timed_out) {
      throw SocketFailure(SocketFailure::Kind::timed_out,
                          step + ": timed out after " + to_text(timeout) + "s");
    }
    fail(ec.message());
  }
};

// A coroutine completion that leaves the error in `ec` instead of throwing.
inline auto awaitable_ec(boost::system::error_code& ec) {
  return boost::asio::redirect_error(boost::asio::use_awaitable, ec);
}

inline bool is_ip_literal(const std::string& host) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(host, ec);
  return !ec;
}

// A socket connected to `proxy`, to be turned into a tunnel to
// `address`:`port`.
struct Tunnel {
  boost::asio::ip::tcp::socket& socket;
  boost::asio::ip::tcp::resolver& resolver;  // SOCKS4 resolves the target itself
  ConnectProgress& progress;
  const Proxy& proxy;
  const std::string& address;
  std::int64_t port;
};

// Runs the handshake of `tunnel.proxy.type` ("http", "https", "socks4",
// "socks4a", "socks5", "socks5h"). When it returns, the socket carries the
// target's stream. Throws SocketFailure naming the step that failed.
boost::asio::awaitable<void> proxy_handshake(Tunnel tunnel);

}  // namespace quillpost::comms
