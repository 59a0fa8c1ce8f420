#include "quillpost/host/runtime/clock/sntp.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <charconv>
#include <cmath>
#include <functional>
#include <stdexcept>

#include "quillpost/host/comms/clock.h"

namespace quillpost::clock {

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

// Seconds from 1900 (the NTP era) to 1970.
constexpr double kNtpToUnix = 2208988800.0;

double read_timestamp(const std::uint8_t* p) {
  std::uint32_t seconds = 0;
  std::uint32_t fraction = 0;
  for (int i = 0; i < 4; ++i) seconds = (seconds << 8) | p[i];
  for (int i = 4; i < 8; ++i) fraction = (fraction << 8) | p[i];
  return static_cast<double>(seconds) - kNtpToUnix + static_cast<double>(fraction) / 4294967296.0;
}

void write_timestamp(std::uint8_t* p, double unix_seconds) {
  const double ntp = unix_seconds + kNtpToUnix;
  const auto seconds = static_cast<std::uint32_t>(ntp);
  const auto fraction = static_cast<std::uint32_t>((ntp - std::floor(ntp)) * 4294967296.0);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(seconds >> (24 - 8 * i));
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<std::uint8_t>(fraction >> (24 - 8 * i));
}

bool valid_host(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  for (const char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == ':';
    if (!ok) return false;
  }
  return true;
}

std::optional<SntpServer> parse_one(std::string_view entry) {
  SntpServer server;
  std::string_view port;
  if (entry.starts_with('[')) {
    const auto close = entry.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    server.host = entry.substr(1, close - 1);
    const auto rest = entry.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return std::nullopt;
      port = rest.substr(1);
    }
  } else if (const auto colon = entry.find(':'); colon != std::string_view::npos) {
    if (entry.find(':', colon + 1) != std::string_view::npos) return std::nullopt;
    server.host = entry.substr(0, colon);
    port = entry.substr(colon + 1);
  } else {
    server.host = entry;
  }
  if (!valid_host(server.host)) return std::nullopt;
  if (!port.empty() || entry.ends_with(':')) {
    unsigned value = 0;
    const auto [end, err] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (err != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
      return std::nullopt;
    }
    server.port = static_cast<std::uint16_t>(value);
  }
  return server;
}

}  // namespace

std::string SntpServer::to_text() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::vector<SntpServer> parse_sntp_servers(std::string_view setting,
                                           std::vector<std::string>* refused) {
  std::vector<SntpServer> servers;
  std::size_t at = 0;
  while (at < setting.size()) {
    const auto end = setting.find_first_of(", \t", at);
    const auto entry = setting.substr(at, end == std::string_view::npos ? end : end - at);
    at = end == std::string_view::npos ? setting.size() : end + 1;
    if (entry.empty()) continue;
    if (auto server = parse_one(entry)) {
      servers.push_back(std::move(*server));
    } else if (refused != nullptr) {
      refused->emplace_back(entry);
    }
  }
  return servers;
}

NtpPacket sntp_request(double now) {
  NtpPacket packet{};
  packet[0] = (4 << 3) | 3;  // no leap warning, version 4, client
  write_timestamp(&packet[40], now);
  return packet;
}

SntpResult read_sntp_answer(const NtpPacket& request, const std::uint8_t* answer, std::size_t size,
                            double received) {
  if (size < 48) throw std::runtime_error("answer of " + std::to_string(size) + " bytes");
  const int leap = answer[0] >> 6;
  const int version = (answer[0] >> 3) & 7;
  const int mode = answer[0] & 7;
  const int stratum = answer[1];
  if (mode != 4)
    throw std::runtime_error("not a server's answer (mode " + std::to_string(mode) + ")");
  if (version < 3 || version > 4) {
    throw std::runtime_error("NTP version " + std::to_string(version));
  }
  if (leap == 3 || stratum == 0 || stratum > 15) {
    throw std::runtime_error("the server is not synchronised (stratum " + std::to_string(stratum) +
                             ")");
  }
  if (!std::equal(&answer[24], &answer[32], &request[40])) {
    throw std::runtime_error("the answer is not to our request");
  }
  const double t1 = read_timestamp(&request[40]);
  const double t2 = read_timestamp(&answer[32]);
  const double t3 = read_timestamp(&answer[40]);
  if (std::all_of(&answer[40], &answer[48], [](std::uint8_t b) { return b == 0; }) ||
      std::all_of(&answer[32], &answer[40], [](std::uint8_t b) { return b == 0; })) {
    throw std::runtime_error("the answer has no time");
  }
  return {((t2 - t1) + (t3 - received)) / 2, (received - t1) - (t3 - t2)};
}

SntpResult query_sntp(const SntpServer& server, std::chrono::milliseconds timeout) {
  asio::io_context io;
  udp::resolver resolver(io);
  boost::system::error_code ec;
  const auto endpoints = resolver.resolve(server.host, std::to_string(server.port), ec);
  if (ec || endpoints.empty()) throw std::runtime_error("cannot resolve: " + ec.message());
  const udp::endpoint target = endpoints.begin()->endpoint();
  udp::socket socket(io, target.protocol());
  const NtpPacket request = sntp_request(comms::wall_seconds());
  socket.send_to(asio::buffer(request), target, 0, ec);
  if (ec) throw std::runtime_error("cannot send: " + ec.message());

  std::array<std::uint8_t, 512> answer{};
  udp::endpoint from;
  std::optional<SntpResult> result;
  std::string refused;
  std::function<void()> receive;
  receive = [&] {
    socket.async_receive_from(asio::buffer(answer), from,
                              [&](boost::system::error_code rec, std::size_t n) {
                                if (rec) return;
                                const double received = comms::wall_seconds();
                                if (from == target) {
                                  try {
                                    result = read_sntp_answer(request, answer.data(), n, received);
                                    io.stop();
                                    return;
                                  } catch (const std::runtime_error& e) {
                                    refused = e.what();
                                  }
                                }
                                receive();
                              });
  };
  receive();
  io.run_for(timeout);
  if (result) return *result;
  throw std::runtime_error(refused.empty() ? "no answer" : refused);
}

}  // namespace quillpost::clock
