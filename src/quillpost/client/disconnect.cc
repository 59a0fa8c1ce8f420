// Leaving a connection: closing what is open, publishing the new status,
// reporting the connection's phase timings and scheduling the next attempt.
#include <array>
#include <exception>
#include <stdexcept>

#include "quillpost/client/client.h"
#include "quillpost/host/base/text.h"
#include "quillpost/host/process/timer_duration.h"
#include "quillpost/host/runtime/comms/priority_queues.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::client {

namespace {

constexpr std::array<std::string_view, 4> PHASE_LABELS = {"T-SD", "T-CONNECT", "T-AUTH",
                                                          "T-HANDSHAKED"};

// The fields every state of an attempt carries.
struct AttemptView {
  std::string connection_id;
  std::vector<double> timings;
};

std::optional<AttemptView> attempt_of(const comms::State& state) {
  return std::visit(
      [](const auto& s) -> std::optional<AttemptView> {
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, comms::Disconnected>) {
          return std::nullopt;
        } else {
          return AttemptView{s.connection_id, s.timings};
        }
      },
      state);
}

// Tears down the socket side of a live connection: the closed event first, so
// that the writer stops, then the socket, then the send queue.
template <typename Live>
void close_connection(const Live& live, const Reason& reason, const logs::Logger& logger) {
  if (live.closed_event) live.closed_event->set();
  const double start = comms::monotonic();
  try {
    if (live.socket) live.socket->close();
    logger.info("c-%s socket orderly shutdown in %dms", live.connection_id,
                comms::ms_since(start, comms::monotonic()));
  } catch (const std::exception& e) {
    logger.exception("%s", e.what());
  }
  if (live.write_queue) live.write_queue->shutdown(to_text(reason));
}

}  // namespace

std::string format_timings(const std::vector<double>& timings, std::optional<double> end) {
  if (timings.empty()) throw std::invalid_argument("format_timings needs at least one reading");
  const double until = end ? *end : comms::monotonic();
  std::string out;
  for (std::size_t i = 0; i < timings.size() && i < PHASE_LABELS.size(); ++i) {
    const double next = i + 1 < timings.size() ? timings[i + 1] : until;
    if (i) out += ", ";
    out += std::string(PHASE_LABELS[i]) + " " + std::to_string(comms::ms_since(timings[i], next));
  }
  return out;
}

void Client::to_disconnected(const Reason& reason, double wait) {
  const std::string previous = upper_kind_name(state_);
  if (const auto attempt = attempt_of(state_)) {
    const double total = comms::monotonic() - attempt->timings.front();
    const std::string formatted = format_duration(total);
    logger.info("c-%s %s --> DISCONNECTED: %s", attempt->connection_id, previous, reason);
    logger.info("c-%s uptime %s, %s", attempt->connection_id, formatted,
                format_timings(attempt->timings));
    _log_to_gui("CLIENT_DISCONNECTED",
                "Disconnected after " + formatted + "; " + to_text(reason) + ".");
    if (const auto* connected = std::get_if<comms::Connected>(&state_)) {
      close_connection(*connected, reason, logger);
    } else if (const auto* handshaked = std::get_if<comms::Handshaked>(&state_)) {
      close_connection(*handshaked, reason, logger);
    }
  } else {
    logger.info("%s --> DISCONNECTED: %s", previous, reason);
  }

  state_ = comms::Disconnected{reason};
  comms::Connection status{
      comms::ClientStatus::disconnected, std::nullopt,
      nlohmann::json{{"reason", reason ? nlohmann::json(*reason) : nlohmann::json()}}};
  // Beside the status, for the host: when the next attempt comes (none: never).
  if (wait != comms::ReconnectTimings::DONT_RECONNECT) status.retry_in = timer_seconds(wait);
  _update_connection(status);

  if (wait == comms::ReconnectTimings::DONT_RECONNECT) {
    // Reconnects scheduled before this point are void from now on.
    ++reconnect_generation_;
    put_main_loop("Disconnected and not scheduled to reconnect.");
    logger.debug("reconnect not requested");
  } else {
    // The wait as the runtime's timer takes it (saturated, never negative),
    // so that the line tells the wait that is kept.
    logger.debug("... reconnecting in %dms", static_cast<std::int64_t>(timer_seconds(wait) * 1000));
    send_self(WAIT_OVER, reconnect_generation_, wait);
  }
}

void Client::socket_error(const comms::SocketErrorPayload& payload) {
  const auto attempt = attempt_of(state_);
  if (!attempt || attempt->connection_id != payload.connection_id) {
    logger.debug("c-%s [historical] socket %s error; %s", payload.connection_id, payload.source,
                 payload.reason);
    return;
  }
  to_disconnected(payload.reason, SOCKET_ERROR_WAIT);
}

}  // namespace quillpost::client
