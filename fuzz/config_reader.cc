// Fuzzes the configuration reader with the raw bytes as the file's text.
//
// A refused file must be refused with BadConfigError; any other exception, a
// crash or a sanitizer report is a finding. A file that loads holds every
// value within its setting's range, never the settings that describe the file
// itself, and only proxies that can be used.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "checks.h"
#include "quillpost/host/config/qp_config.h"

namespace {

using namespace quillpost;

constexpr const char* kTarget = "config reader";

void check_proxy(const ProxySetting& setting) {
  const auto* proxy = std::get_if<Proxy>(&setting);
  if (!proxy) return;
  if (proxy->type != "http" && proxy->type != "socks4" && proxy->type != "socks5") {
    fuzz::fail(kTarget, "proxy type outside its list");
  }
  if (proxy->host.empty()) fuzz::fail(kTarget, "empty proxy host");
  std::int64_t port = 0;
  const char* end = proxy->port.data() + proxy->port.size();
  const auto [at, ec] = std::from_chars(proxy->port.data(), end, port);
  if (ec != std::errc() || at != end || port < 1 || port > 65535) {
    fuzz::fail(kTarget, "proxy port is not a port number");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RuntimeConfig config;
  try {
    config = parse_runtime_config(text, "fuzz.conf");
  } catch (const BadConfigError&) {
    return 0;
  }
  fuzz::check_integer_ranges(config, kTarget);
  if (config.config_file || config.config_file_using_default) {
    fuzz::fail(kTarget, "a file set the settings that describe the file");
  }
  if (config.proxy) check_proxy(*config.proxy);
  if (const auto& address = config.override_server_address) {
    if (!fuzz::within(address->port, 1, 65535)) fuzz::fail(kTarget, "override port out of range");
  }
  // The text form masks secrets and must be producible for any loaded file.
  (void)config.to_text();
  return 0;
}
