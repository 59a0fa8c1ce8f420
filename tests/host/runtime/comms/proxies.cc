#include "proxies.h"

#include <unistd.h>

namespace quillpost::comms::test {

namespace {

bool installed(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

void Proxies::add(const std::string& label, const std::string& type, int port,
                  std::vector<std::string> argv, bool auth) {
  daemons_.push_back(std::make_unique<Daemon>(std::move(argv)));
  if (!wait_for_port(port)) return;
  Proxy p{type, "127.0.0.1", std::to_string(port), std::nullopt};
  if (auth) p.auth = std::make_pair(std::string(PROXY_USER), std::string(PROXY_PASSWORD));
  proxies_[label] = p;
}

Proxies::Proxies() {
  if (installed("/usr/bin/tinyproxy")) {
    for (bool auth : {false, true}) {
      const int port = free_port();
      std::string conf = "Port " + std::to_string(port) +
                         "\nListen 127.0.0.1\nTimeout 10\nMaxClients 20\nAllow 127.0.0.1\n"
                         "DisableViaHeader Yes\n";
      if (auth) conf += std::string("BasicAuth ") + PROXY_USER + " " + PROXY_PASSWORD + "\n";
      const auto file = write_temp_file("tinyproxy-" + std::to_string(port) + ".conf", conf);
      add(auth ? "http-auth" : "http", "http", port, {"/usr/bin/tinyproxy", "-d", "-c", file},
          auth);
    }
  }
  if (installed("/usr/bin/microsocks")) {
    for (bool auth : {false, true}) {
      const int port = free_port();
      std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p",
                                       std::to_string(port)};
      if (auth) argv.insert(argv.end(), {"-u", PROXY_USER, "-P", PROXY_PASSWORD});
      add(auth ? "socks5-auth" : "socks5", "socks5", port, argv, auth);
    }
  }
  if (installed("/usr/sbin/danted")) {
    const int port = free_port();
    const std::string conf =
        "logoutput: stderr\ninternal: 127.0.0.1 port = " + std::to_string(port) +
        "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n"
        "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
        "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 protocol: tcp }\n";
    const auto file = write_temp_file("danted-" + std::to_string(port) + ".conf", conf);
    const auto pid = write_temp_file("danted-" + std::to_string(port) + ".pid", "");
    add("socks4", "socks4", port, {"/usr/sbin/danted", "-f", file, "-p", pid}, false);
    if (auto p = get("socks4")) {
      p->type = "socks5";
      proxies_["socks5-dante"] = *p;
    }
  }
  socks4a_ = std::make_unique<Socks4aProxy>();
  proxies_["socks4a"] = Proxy{"socks4a", "127.0.0.1", std::to_string(socks4a_->port()), {}};
}

std::optional<Proxy> Proxies::get(const std::string& label) const {
  auto it = proxies_.find(label);
  if (it == proxies_.end()) return std::nullopt;
  return it->second;
}

}  // namespace quillpost::comms::test
