// Addresses and endpoints as people read them: "127.0.0.1:8470",
// "[::1]:8470". Header-only, for the web interface, the connection and the
// local service.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <string>

namespace quillpost {

inline std::string address_text(const boost::asio::ip::address& address) {
  return address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
}

inline std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint) {
  return address_text(endpoint.address()) + ":" + std::to_string(endpoint.port());
}

}  // namespace quillpost
