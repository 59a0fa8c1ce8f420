// The service's URLs and the request headers of the application's HTTP requests.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "quillpost/host/config/build_info.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/runtime/comms/service_discovery.h"

namespace quillpost::comms {

// The service's base URL of this build ("http://127.0.0.1:8470" unless the
// build sets another); a configuration may name another.
std::string default_service_url();

// What the discovery URL carries besides the user's extra parameters.
struct UrlContext {
  std::string version;
  std::string edition;
  std::string computer_name;
  std::string world_id;
  std::string instance_id;
};

class UrlFactory {
 public:
  // `base_url`: scheme, host, optional port and path prefix, e.g.
  // "https://service.example:8443/api". Throws std::invalid_argument when it is
  // not an http or https URL.
  UrlFactory(std::string base_url, UrlContext context);

  // The absolute URL of the endpoint `name` ("discover", "login",
  // "crash-reports"). For
  // "discover" the query holds version, edition, computer_name, world_id,
  // instance_id and then `params`, URL-encoded. `account` is the application's
  // account record; the URLs of this service do not depend on it. Throws
  // std::invalid_argument for an unknown name.
  template <typename Account>
  std::string get(std::string_view name, const Account& /*account*/, const ParamMap& params) const {
    return url(name, params);
  }
  std::string url(std::string_view name, const ParamMap& params) const;

  const std::string& base_url() const { return base_url_; }

 private:
  std::string base_url_;
  UrlContext context_;
};

// The host and port of an http(s) URL as its Host header carries them
// ("service.example:8443"), for messages to people; empty for any other text.
std::string url_host(std::string_view url);

// Percent-encodes everything but unreserved characters.
std::string url_encode(std::string_view text);

// The headers of the application's requests: a User-Agent naming the product,
// version and edition ("QuillPost/0.1.0 (community)").
RequestHeaders request_headers(const BuildInfo& build);

}  // namespace quillpost::comms
