#include "quillpost/host/base/http_url.h"

#include <charconv>
#include <stdexcept>

namespace quillpost::comms {

HttpUrl split_http_url(std::string_view url) {
  HttpUrl out;
  std::string_view rest;
  if (url.substr(0, 7) == "http://") {
    rest = url.substr(7);
  } else if (url.substr(0, 8) == "https://") {
    out.https = true;
    rest = url.substr(8);
  } else {
    throw std::invalid_argument("not an http or https URL: " + std::string(url));
  }
  const auto slash = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, slash);
  std::string_view target = slash == std::string_view::npos ? "" : rest.substr(slash);
  if (const auto hash = target.find('#'); hash != std::string_view::npos) {
    target = target.substr(0, hash);
  }
  if (authority.find('@') != std::string_view::npos) {
    throw std::invalid_argument("credentials in a URL are not supported");
  }
  std::string_view port_text;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) throw std::invalid_argument("bad IPv6 host in URL");
    out.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') throw std::invalid_argument("bad URL authority");
      port_text = after.substr(1);
    }
  } else {
    const auto colon = authority.rfind(':');
    out.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port_text = authority.substr(colon + 1);
  }
  if (out.host.empty()) throw std::invalid_argument("URL without a host: " + std::string(url));
  out.port = out.https ? 443 : 80;
  if (!port_text.empty()) {
    std::int64_t p = 0;
    auto [end, err] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), p);
    if (err != std::errc() || end != port_text.data() + port_text.size() || p < 1 || p > 65535) {
      throw std::invalid_argument("bad port in URL: " + std::string(url));
    }
    out.port = p;
  }
  out.host_header = std::string(authority);
  out.target = target.empty() ? "/" : std::string(target);
  if (out.target.front() == '?') out.target = "/" + out.target;
  return out;
}

std::optional<std::string> service_url_problem(std::string_view url) {
  if (url.empty()) return "it is empty";
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') {
      return "it holds a blank or a control character";
    }
  }
  if (url.substr(0, 7) != "http://" && url.substr(0, 8) != "https://") {
    return "it must begin with http:// or https://";
  }
  if (url.find_first_of("?#") != std::string_view::npos) {
    return "it must not have a query or a fragment";
  }
  try {
    split_http_url(url);
  } catch (const std::invalid_argument& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

}  // namespace quillpost::comms
