#include "quillpost/host/runtime/web/host_check.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace quillpost::web {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_loopback_name(const std::string& name) {
  if (name == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, name.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool is_host_name(const std::string& name) {
  std::array<char, 256> buffer{};
  if (::gethostname(buffer.data(), buffer.size() - 1) != 0) return false;
  const std::string host = lower(buffer.data());
  if (host.empty()) return false;
  const std::string label = host.substr(0, host.find('.'));
  return name == host || name == label || name == label + ".local";
}

// Whether the address `name` belongs to one of this machine's interfaces.
bool is_interface_address(const std::string& name) {
  in_addr v4{};
  in6_addr v6{};
  const bool is_v4 = ::inet_pton(AF_INET, name.c_str(), &v4) == 1;
  const bool is_v6 = !is_v4 && ::inet_pton(AF_INET6, name.c_str(), &v6) == 1;
  if (!is_v4 && !is_v6) return false;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
    const sockaddr* address = entry->ifa_addr;
    if (!address) continue;
    if (is_v4 && address->sa_family == AF_INET) {
      found = reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == v4.s_addr;
    } else if (is_v6 && address->sa_family == AF_INET6) {
      found = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, &v6,
                          sizeof v6) == 0;
    }
  }
  ::freeifaddrs(list);
  return found;
}

}  // namespace

std::optional<std::string> host_of(std::string_view header) {
  std::string_view name;
  std::string_view rest;
  if (!header.empty() && header.front() == '[') {
    const auto close = header.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    name = header.substr(1, close - 1);
    rest = header.substr(close + 1);
  } else {
    const auto colon = header.find(':');
    name = header.substr(0, colon);
    if (colon != std::string_view::npos) rest = header.substr(colon);
  }
  if (!rest.empty() && (rest.front() != ':' || !all_digits(rest.substr(1)))) return std::nullopt;
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty()) return std::nullopt;
  return lower(name);
}

bool is_loopback_host(std::string_view header) {
  const auto name = host_of(header);
  return name && is_loopback_name(*name);
}

bool is_own_host(std::string_view header, std::string_view listen) {
  const auto name = host_of(header);
  if (!name) return false;
  if (is_loopback_name(*name) || is_host_name(*name)) return true;
  if (const auto listened = host_of(listen); listened && *listened == *name) return true;
  return is_interface_address(*name);
}

}  // namespace quillpost::web
