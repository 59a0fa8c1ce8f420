// A small SNTP client: one 48-byte request to a time server over UDP and the
// checked answer, for the clock check.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillpost::clock {

inline constexpr std::uint16_t SNTP_PORT = 123;

struct SntpServer {
  std::string host;
  std::uint16_t port = SNTP_PORT;
  std::string to_text() const;  // "host:port"
};

// The servers of a setting: "host" or "host:port" (IPv6 in brackets),
// separated by commas or blanks. An entry that is not a host name or address
// with a valid port is left out and named in `refused`.
std::vector<SntpServer> parse_sntp_servers(std::string_view setting,
                                           std::vector<std::string>* refused = nullptr);

struct SntpResult {
  double offset = 0;  // the server's clock minus ours, in seconds
  double delay = 0;   // the round trip, less the server's own time, in seconds
};

using NtpPacket = std::array<std::uint8_t, 48>;

// Reads a server's answer to `request` received at `received` (seconds since
// 1970 by our clock). Throws std::runtime_error saying why it is refused:
// shorter than 48 bytes, not a server's answer (mode 4), an unsynchronised
// server (leap indicator 3, stratum 0 or above 15), an origin timestamp that
// is not the one we sent, no transmit timestamp.
SntpResult read_sntp_answer(const NtpPacket& request, const std::uint8_t* answer, std::size_t size,
                            double received);

// A client request stamped with `now` (seconds since 1970).
NtpPacket sntp_request(double now);

// Asks `server` once, waiting at most `timeout`; only an answer from the
// address asked is taken. Throws std::runtime_error with the reason.
SntpResult query_sntp(const SntpServer& server, std::chrono::milliseconds timeout);

}  // namespace quillpost::clock
