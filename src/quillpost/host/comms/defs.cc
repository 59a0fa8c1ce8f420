#include "quillpost/host/comms/defs.h"

#include <chrono>
#include <cmath>

#include "quillpost/host/base/text.h"

namespace quillpost::comms {

double monotonic() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::int64_t ms_since(double start, std::optional<double> end) {
  const double stop = end ? *end : monotonic();
  return static_cast<std::int64_t>(std::llround((stop - start) * 1000.0));
}

std::string_view kind_name(const State& state) {
  return std::visit([](const auto& s) { return std::decay_t<decltype(s)>::kind; }, state);
}

std::string_view name(ClientStatus status) {
  switch (status) {
    case ClientStatus::disconnected:
      return "disconnected";
    case ClientStatus::service_discovery:
      return "service_discovery";
    case ClientStatus::connecting:
      return "connecting";
    case ClientStatus::connected:
      return "connected";
    case ClientStatus::handshaked:
      return "handshaked";
  }
  return "unknown";
}

std::string Connection::to_text() const {
  return "Connection(status=" + std::string(name(status)) +
         ", account_id=" + quillpost::to_text(account_id) + ", info=" + info.dump() + ")";
}

}  // namespace quillpost::comms
