#include "quillpost/host/runtime/comms/proxy.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "quillpost/host/base/openssl.h"

namespace quillpost::comms {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

asio::awaitable<void> write_bytes(Tunnel& t, const std::string& bytes) {
  error_code ec;
  co_await asio::async_write(t.socket, asio::buffer(bytes), awaitable_ec(ec));
  t.progress.check(ec);
}

asio::awaitable<std::string> read_bytes(Tunnel& t, std::size_t n) {
  std::string out(n, '\0');
  error_code ec;
  co_await asio::async_read(t.socket, asio::buffer(out), awaitable_ec(ec));
  if (ec == asio::error::eof) t.progress.fail("the proxy closed the connection");
  t.progress.check(ec);
  co_return out;
}

std::string target_text(const Tunnel& t) {
  return t.address + ":" + std::to_string(t.port);
}

asio::awaitable<void> http_connect(Tunnel& t) {
  const Proxy& p = t.proxy;
  const std::string target =
      (t.address.find(':') != std::string::npos ? "[" + t.address + "]" : t.address) + ":" +
      std::to_string(t.port);
  t.progress.step = "proxy " + p.host + ":" + p.port + ": HTTP CONNECT " + target;
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (p.auth) {
    request +=
        "Proxy-Authorization: Basic " + base64(p.auth->first + ":" + p.auth->second) + "\r\n";
  }
  request += "\r\n";
  co_await write_bytes(t, request);
  // Byte by byte up to the blank line, so that nothing of the tunnelled stream
  // is read into a buffer of ours.
  std::string head;
  while (head.size() < 16384 &&
         (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0)) {
    head += co_await read_bytes(t, 1);
  }
  if (head.size() >= 16384) t.progress.fail("answer too long");
  const auto line_end = head.find("\r\n");
  const std::string status_line = head.substr(0, line_end);
  // "HTTP/1.1 200 Connection established"
  const auto sp = status_line.find(' ');
  if (status_line.rfind("HTTP/", 0) != 0 || sp == std::string::npos) {
    t.progress.fail("not an HTTP answer: " + status_line);
  }
  const std::string status = status_line.substr(sp + 1);
  if (status.rfind("200", 0) != 0) t.progress.fail("refused: " + status);
}

asio::awaitable<void> socks4_connect(Tunnel& t, bool remote_dns) {
  const Proxy& p = t.proxy;
  t.progress.step =
      "proxy " + p.host + ":" + p.port + ": SOCKS4" + (remote_dns ? "a " : " ") + target_text(t);
  std::string request;
  request += '\x04';
  request += '\x01';
  request += static_cast<char>((t.port >> 8) & 0xff);
  request += static_cast<char>(t.port & 0xff);
  std::string host_part;
  if (remote_dns && !is_ip_literal(t.address)) {
    request += std::string("\0\0\0\x01", 4);
    host_part = t.address + '\0';
  } else {
    error_code ec;
    auto results = co_await t.resolver.async_resolve(tcp::v4(), t.address, "", awaitable_ec(ec));
    t.progress.check(ec);
    auto bytes = results.begin()->endpoint().address().to_v4().to_bytes();
    request.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  request += p.auth ? p.auth->first : std::string();
  request += '\0';
  request += host_part;
  co_await write_bytes(t, request);
  const std::string reply = co_await read_bytes(t, 8);
  const auto code = static_cast<unsigned char>(reply[1]);
  if (code != 90) {
    t.progress.fail("refused with code " + std::to_string(code) +
                    (code == 92 || code == 93 ? " (identd / user id rejected)" : ""));
  }
}

std::string socks5_reply_text(unsigned code) {
  switch (code) {
    case 1:
      return "general failure";
    case 2:
      return "connection not allowed by ruleset";
    case 3:
      return "network unreachable";
    case 4:
      return "host unreachable";
    case 5:
      return "connection refused";
    case 6:
      return "TTL expired";
    case 7:
      return "command not supported";
    case 8:
      return "address type not supported";
    default:
      return "error " + std::to_string(code);
  }
}

asio::awaitable<void> socks5_connect(Tunnel& t) {
  const Proxy& p = t.proxy;
  t.progress.step = "proxy " + p.host + ":" + p.port + ": SOCKS5 " + target_text(t);
  std::string greeting =
      p.auth ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3);
  co_await write_bytes(t, greeting);
  const std::string choice = co_await read_bytes(t, 2);
  if (choice[0] != '\x05') t.progress.fail("not a SOCKS5 proxy");
  const auto method = static_cast<unsigned char>(choice[1]);
  if (method == 0x02) {
    if (!p.auth) t.progress.fail("the proxy asks for credentials and none are configured");
    const auto& [user, password] = *p.auth;
    if (user.size() > 255 || password.size() > 255)
      t.progress.fail("user name or password too long");
    std::string auth;
    auth += '\x01';
    auth += static_cast<char>(user.size());
    auth += user;
    auth += static_cast<char>(password.size());
    auth += password;
    co_await write_bytes(t, auth);
    const std::string status = co_await read_bytes(t, 2);
    if (status[1] != '\0') t.progress.fail("credentials refused");
  } else if (method != 0x00) {
    t.progress.fail("no acceptable authentication method");
  }
  std::string request("\x05\x01\x00", 3);
  error_code parse_ec;
  const auto ip = asio::ip::make_address(t.address, parse_ec);
  if (!parse_ec && ip.is_v4()) {
    request += '\x01';
    auto b = ip.to_v4().to_bytes();
    request.append(reinterpret_cast<const char*>(b.data()), b.size());
  } else if (!parse_ec && ip.is_v6()) {
    request += '\x04';
    auto b = ip.to_v6().to_bytes();
    request.append(reinterpret_cast<const char*>(b.data()), b.size());
  } else {
    if (t.address.size() > 255) t.progress.fail("host name too long");
    request += '\x03';
    request += static_cast<char>(t.address.size());
    request += t.address;  // resolved by the proxy
  }
  request += static_cast<char>((t.port >> 8) & 0xff);
  request += static_cast<char>(t.port & 0xff);
  co_await write_bytes(t, request);
  const std::string head = co_await read_bytes(t, 4);
  const auto rep = static_cast<unsigned char>(head[1]);
  if (rep != 0) t.progress.fail("refused: " + socks5_reply_text(rep));
  std::size_t rest = 0;
  switch (head[3]) {
    case '\x01':
      rest = 4 + 2;
      break;
    case '\x04':
      rest = 16 + 2;
      break;
    case '\x03': {
      const std::string len = co_await read_bytes(t, 1);
      rest = static_cast<unsigned char>(len[0]) + 2u;
      break;
    }
    default:
      t.progress.fail("bad address type in the answer");
  }
  co_await read_bytes(t, rest);
}

}  // namespace

asio::awaitable<void> proxy_handshake(Tunnel t) {
  const std::string& type = t.proxy.type;
  if (type == "http" || type == "https") {
    co_await http_connect(t);
  } else if (type == "socks4") {
    co_await socks4_connect(t, false);
  } else if (type == "socks4a") {
    co_await socks4_connect(t, true);
  } else if (type == "socks5" || type == "socks5h") {
    co_await socks5_connect(t);
  } else {
    t.progress.fail("unknown proxy type '" + type + "'");
  }
}

}  // namespace quillpost::comms
