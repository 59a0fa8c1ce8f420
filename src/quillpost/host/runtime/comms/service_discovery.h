// Service discovery: one HTTP(S) GET that names the server to connect to.
//
// Two interchangeable engines with the same arguments and the same behaviour:
// `requests_service_discovery` (Boost.Beast) and `pycurl_service_discovery`
// (libcurl). Each runs on a worker thread, makes one request to `url` with
// `headers` and the proxy, SSL verification and CA file of `http_config`, and
// posts exactly one message into `mailbox`:
//   SERVICE_DISCOVERY_OK    with a ServiceDiscoveryPayload (connection_id = the given id)
//   SERVICE_DISCOVERY_FAIL  with a ServiceDiscoveryFailPayload (the id, a reason text)
// A request never takes longer than the time-out (DISCOVERY_TIMEOUT unless
// set_service_discovery_timeout changed it). The engines use no proxy from the
// environment: only `http_config.proxy`.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/config/records.h"

namespace quillpost::comms {

inline constexpr std::string_view SERVICE_DISCOVERY_OK = "service_discovery_ok";
inline constexpr std::string_view SERVICE_DISCOVERY_FAIL = "service_discovery_fail";

// Seconds one discovery request may take, connect and answer together.
inline constexpr double DISCOVERY_TIMEOUT = 15.0;
// Changes the time-out of later requests (tests shorten it). Thread-safe.
void set_service_discovery_timeout(double seconds);
double service_discovery_timeout();

// HTTP request headers, in order.
using RequestHeaders = std::vector<std::pair<std::string, std::string>>;

// (connection id, reason text)
using ServiceDiscoveryFailPayload = std::pair<std::string, std::string>;

using ServiceDiscoveryWorker = void (*)(const std::string& url, const RequestHeaders& headers,
                                        const std::string& connection_id,
                                        const agent::Mailbox& mailbox,
                                        const HttpConfig& http_config,
                                        const std::filesystem::path& logs_dir);

void requests_service_discovery(const std::string& url, const RequestHeaders& headers,
                                const std::string& connection_id, const agent::Mailbox& mailbox,
                                const HttpConfig& http_config,
                                const std::filesystem::path& logs_dir);

void pycurl_service_discovery(const std::string& url, const RequestHeaders& headers,
                              const std::string& connection_id, const agent::Mailbox& mailbox,
                              const HttpConfig& http_config, const std::filesystem::path& logs_dir);

// Reads a discovery answer (the JSON body). Throws std::runtime_error with a
// reason text when it is not a well-formed answer. Heartbeat times other than
// 0 are brought within HeartbeatBounds. Shared by both engines.
ServiceDiscoveryPayload parse_service_discovery_answer(std::string_view body,
                                                       const std::string& connection_id);

// Runs one discovery: `fetch` returns the answer's body or throws with the
// reason; exactly one report goes to `mailbox`, SERVICE_DISCOVERY_OK with the
// parsed answer or SERVICE_DISCOVERY_FAIL with the reason.
void report_service_discovery(const std::function<std::string()>& fetch,
                              const std::string& connection_id, const agent::Mailbox& mailbox);

}  // namespace quillpost::comms
