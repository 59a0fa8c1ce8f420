#include "quillpost/host/runtime/comms/url.h"

#include <charconv>

#include "quillpost/host/runtime/comms/http_url.h"

#ifndef QP_SERVICE_URL
#define QP_SERVICE_URL "http://127.0.0.1:8470"
#endif

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

std::string default_service_url() {
  return QP_SERVICE_URL;
}

std::string url_encode(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string url_host(std::string_view url) {
  try {
    return split_http_url(url).host_header;
  } catch (const std::invalid_argument&) {
    return {};
  }
}

UrlFactory::UrlFactory(std::string base_url, UrlContext context)
    : base_url_(std::move(base_url)), context_(std::move(context)) {
  split_http_url(base_url_);  // validates
  while (!base_url_.empty() && base_url_.back() == '/') base_url_.pop_back();
}

std::string UrlFactory::url(std::string_view name, const ParamMap& params) const {
  if (name == "login") return base_url_ + "/v1/login";
  if (name != "discover")
    throw std::invalid_argument("unknown URL name '" + std::string(name) + "'");
  std::string query;
  auto add = [&](std::string_view key, std::string_view value) {
    query += query.empty() ? "?" : "&";
    query += url_encode(key) + "=" + url_encode(value);
  };
  add("version", context_.version);
  add("edition", context_.edition);
  add("computer_name", context_.computer_name);
  add("world_id", context_.world_id);
  add("instance_id", context_.instance_id);
  for (const auto& [key, value] : params.items) add(key, value);
  return base_url_ + "/v1/discover" + query;
}

RequestHeaders request_headers(const BuildInfo& build) {
  return {{"User-Agent", "QuillPost/" + build.version + " (" + build.edition + ")"}};
}

}  // namespace quillpost::comms
