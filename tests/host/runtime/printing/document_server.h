// A loopback document server for the printing tests: GET /<name> answers the
// document registered under that name, or misbehaves as told.
#pragma once

#include <openssl/sha.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/runtime/comms/peer.h"

namespace quillpost::printing::test {

// What the server does for a name.
enum class Serve {
  ok,
  not_found,
  server_error,
  redirect_loop,
  redirect_once,
  to_http,
  corrupt,
  truncated,
  closed,  // the connection ends before a byte of the answer
  hang,
  longer,
  slow,
  busy,  // 503 with "Retry-After: 7"
};

inline std::string sha256_hex(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

class DocumentServer {
 public:
  explicit DocumentServer(bool tls = false)
      : tls_(tls), peer_([this](comms::test::Conn& conn) { serve(conn); }, tls) {}

  void add(const std::string& name, std::string bytes, Serve how = Serve::ok) {
    std::lock_guard lock(mutex_);
    documents_[name] = {std::move(bytes), how};
  }
  std::string url(const std::string& name) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(peer_.port()) +
           "/" + name + "?token=secret-token";
  }
  int requests() const { return peer_.accepted(); }

  // For `length` from now, GET /<name> is answered `status` (a status line's
  // rest and any header lines, "503 Service Unavailable\r\nRetry-After: 1"),
  // or the connection is closed at once for an empty one.
  void outage(const std::string& name, std::chrono::milliseconds length, std::string status) {
    std::lock_guard lock(mutex_);
    outages_[name] = {std::chrono::steady_clock::now() + length, std::move(status)};
  }
  // When each GET of `name` came.
  std::vector<std::chrono::steady_clock::time_point> asked(const std::string& name) {
    std::lock_guard lock(mutex_);
    return asked_[name];
  }

 private:
  void serve(comms::test::Conn& conn) {
    const std::string head = conn.read_head();
    const auto start = head.find(" /");
    if (start == std::string::npos) return;  // nothing asked
    const auto end = head.find_first_of("? ", start + 2);
    const std::string name = head.substr(start + 2, end - start - 2);
    std::pair<std::string, Serve> doc;
    {
      std::lock_guard lock(mutex_);
      asked_[name].push_back(std::chrono::steady_clock::now());
      if (const auto o = outages_.find(name);
          o != outages_.end() && std::chrono::steady_clock::now() < o->second.first) {
        if (o->second.second.empty()) return;
        return conn.write(reply(o->second.second, "down"));
      }
      const auto it = documents_.find(name);
      if (it == documents_.end()) return conn.write(reply("404 Not Found", ""));
      doc = it->second;
    }
    auto& [bytes, how] = doc;
    switch (how) {
      case Serve::ok:
        return conn.write(reply("200 OK", bytes));
      case Serve::not_found:
        return conn.write(reply("404 Not Found", "no"));
      case Serve::server_error:
        return conn.write(reply("500 Internal Server Error", "oops"));
      case Serve::busy:
        return conn.write(reply("503 Service Unavailable\r\nRetry-After: 7", "later"));
      case Serve::redirect_loop:
        return conn.write(redirect("/" + name + "?token=secret-token"));
      case Serve::redirect_once:
        add(name, bytes, Serve::ok);
        return conn.write(redirect(url(name)));
      case Serve::to_http:
        return conn.write(
            redirect("http://127.0.0.1:" + std::to_string(peer_.port()) + "/" + name));
      case Serve::corrupt: {
        std::string changed = bytes;
        if (!changed.empty()) changed[changed.size() / 2] ^= 0x55;
        return conn.write(reply("200 OK", changed));
      }
      case Serve::truncated: {
        const std::string full = reply("200 OK", bytes);
        return conn.write(full.substr(0, full.size() - bytes.size() / 2));
      }
      case Serve::closed:
        return;
      case Serve::longer:
        return conn.write(reply("200 OK", bytes + bytes));
      case Serve::hang:
        conn.read_bytes(1);  // until the client gives up or the test ends
        return;
      case Serve::slow: {
        const std::string full = reply("200 OK", bytes);
        for (std::size_t at = 0; at < full.size(); at += 1024) {
          conn.write(full.substr(at, 1024));
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return;
      }
    }
  }

  static std::string reply(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }
  static std::string redirect(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }

  bool tls_;
  std::mutex mutex_;
  std::map<std::string, std::pair<std::string, Serve>> documents_;
  std::map<std::string, std::pair<std::chrono::steady_clock::time_point, std::string>> outages_;
  std::map<std::string, std::vector<std::chrono::steady_clock::time_point>> asked_;
  comms::test::Peer peer_;
};

}  // namespace quillpost::printing::test
