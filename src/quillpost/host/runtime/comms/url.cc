#include "quillpost/host/runtime/comms/url.h"

#include "quillpost/host/base/http_url.h"

#ifndef QP_SERVICE_URL
#define QP_SERVICE_URL "http://127.0.0.1:8470"
#endif

namespace quillpost::comms {

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
  if (name == "crash-reports") return base_url_ + "/v1/crash-reports";
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
