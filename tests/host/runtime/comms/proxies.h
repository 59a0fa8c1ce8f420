// Debian's proxy daemons, started on loopback for one test process.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "peer.h"
#include "quillpost/host/config/records.h"

namespace quillpost::comms::test {

inline constexpr const char* PROXY_USER = "qpuser";
inline constexpr const char* PROXY_PASSWORD = "s3cret-pw.x_Y";

// Proxies by label: "http", "http-auth", "socks5", "socks5-auth", "socks4", "socks4a".
class Proxies {
 public:
  // Starts the daemons; a label whose daemon is not installed is missing.
  Proxies();
  // The proxy for `label`, or nullopt when it could not be started.
  std::optional<Proxy> get(const std::string& label) const;

 private:
  void add(const std::string& label, const std::string& type, int port,
           std::vector<std::string> argv, bool auth);
  std::vector<std::unique_ptr<Daemon>> daemons_;
  std::unique_ptr<Socks4aProxy> socks4a_;
  std::map<std::string, Proxy> proxies_;
};

}  // namespace quillpost::comms::test
