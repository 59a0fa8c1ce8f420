#include "quillpost/host/runtime/comms/wire.h"

#include <array>

#include "quillpost/host/logging/logs.h"

namespace quillpost::comms {

namespace {

// How often a writer with nothing to send looks at the closed event. Closing a
// connection also shuts its send queue down, which wakes the writer at once;
// the interval only bounds a caller that sets the event alone, and a long one
// keeps an idle connection's writer from waking ten times a second.
constexpr std::chrono::milliseconds WRITER_POLL{1000};

logs::Logger& wire_logger() {
  static logs::Logger logger = logs::logger("comms");
  return logger;
}

// Splits the byte stream into lines, refusing lines over the frame limit.
class FrameReader {
 public:
  // Adds bytes; returns complete lines (without line feed). Throws
  // std::runtime_error when a line grows past MAX_FRAME_BYTES.
  std::vector<std::string> feed(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
      const auto nl = bytes.find('\n', start);
      if (nl == std::string_view::npos) break;
      partial_.append(bytes.substr(start, nl - start));
      check();
      if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      lines.push_back(std::move(partial_));
      partial_.clear();
      start = nl + 1;
    }
    partial_.append(bytes.substr(start));
    check();
    return lines;
  }

 private:
  void check() const {
    if (partial_.size() > MAX_FRAME_BYTES) {
      throw std::runtime_error("protocol error: frame longer than " +
                               std::to_string(MAX_FRAME_BYTES) + " bytes");
    }
  }
  std::string partial_;
};

// Whether arrays and objects in the JSON text `line` nest deeper than
// `limit`. Brackets inside strings do not count; for text that is not JSON the
// answer does not matter, the parser refuses it anyway.
bool nested_deeper_than(std::string_view line, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : line) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

ServerMessage decode_frame(const std::string& line, const std::string& connection_id) {
  if (nested_deeper_than(line, MAX_FRAME_DEPTH)) {
    throw std::runtime_error("protocol error: frame nested deeper than " +
                             std::to_string(MAX_FRAME_DEPTH) + " levels");
  }
  nlohmann::json frame = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (frame.is_discarded()) throw std::runtime_error("protocol error: frame is not JSON");
  if (!frame.is_object()) throw std::runtime_error("protocol error: frame is not an object");
  auto event = frame.find("event");
  if (event == frame.end() || !event->is_string()) {
    throw std::runtime_error("protocol error: frame without an event name");
  }
  auto payload = frame.find("payload");
  return ServerMessage{event->get<std::string>(),
                       payload == frame.end() ? nlohmann::json() : std::move(*payload),
                       connection_id};
}

}  // namespace

std::string encode_frame(const std::string& event, const nlohmann::ordered_json& payload) {
  nlohmann::ordered_json frame = {{"event", event}, {"payload", payload}};
  // Invalid UTF-8 in a text is replaced rather than refused: one bad character
  // must not end the connection.
  return frame.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void create_socket_thread(const std::string& connection_id, const std::string& address,
                          std::int64_t port, const std::optional<Proxy>& proxy,
                          const agent::Mailbox& mailbox, const ConnectOptions& options) {
  const double start = monotonic();
  ConnectingCompletePayload report{connection_id, start, "", false, std::nullopt};
  try {
    auto sock = open_socket(address, port, proxy, options);
    Address far{address, port};
    if (!proxy) far = sock->getpeername();
    report.msg = "connected to " + far.first + ":" + std::to_string(far.second) +
                 (proxy ? " through " + proxy->str_redacted() : std::string());
    report.success = true;
    report.ret.emplace(std::move(sock), std::move(far));
  } catch (const std::exception& e) {
    report.msg = e.what();
  }
  mailbox.send(CONNECTING_COMPLETE, std::move(report));
}

void listen(std::shared_ptr<Socket> sock, const std::string& connection_id,
            std::optional<double> timeout, const agent::Mailbox& mailbox,
            std::shared_ptr<ProtocolLog> protocol_logwriter) {
  if (timeout && *timeout <= 0) timeout.reset();
  FrameReader reader;
  std::array<char, 64 * 1024> buffer;
  try {
    for (;;) {
      const std::size_t n = sock->read_some(buffer, timeout);
      for (auto& line : reader.feed(std::string_view(buffer.data(), n))) {
        if (line.empty()) continue;
        protocol_logwriter->write(Direction::in, connection_id, line);
        ServerMessage message = decode_frame(line, connection_id);
        // Any frame proves the link alive; the server's heartbeat answers stop here.
        if (message.event == HEARTBEAT) continue;
        // Shared: the client hands the same message on to its subscribers.
        mailbox.send(SERVER_MESSAGE, agent::shared_payload(std::move(message)));
      }
    }
  } catch (const SocketFailure& e) {
    if (e.kind() != SocketFailure::Kind::closed) {
      wire_logger().debug("c-%s listener: %s", connection_id, e.what());
    }
    mailbox.send(SOCKET_ERROR, SocketErrorPayload{connection_id, "listener", e.what()});
  } catch (const std::exception& e) {
    // A protocol error: the stream cannot be trusted any more.
    wire_logger().warning("c-%s listener: %s", connection_id, e.what());
    sock->close();
    mailbox.send(SOCKET_ERROR, SocketErrorPayload{connection_id, "listener", e.what()});
  }
}

void writer(std::shared_ptr<Socket> sock, std::shared_ptr<Event> closed_event,
            std::shared_ptr<ServerSendQueue> write_queue, const std::string& connection_id,
            const agent::Mailbox& mailbox, std::shared_ptr<ProtocolLog> protocol_logwriter) {
  while (!closed_event->is_set() && !write_queue->is_shutdown()) {
    auto message = write_queue->get(WRITER_POLL);
    if (!message) continue;
    if (closed_event->is_set()) break;
    try {
      std::string frame = encode_frame(message->msg, message->payload);
      protocol_logwriter->write(Direction::out, connection_id, frame);
      frame += '\n';
      sock->write_all(frame);
    } catch (const SocketFailure& e) {
      // A socket closed under the writer was closed by the client or by the
      // listener (its read deadline, a protocol error), and whoever closed it
      // reports why; a second report here could race ahead and name the wrong
      // cause.
      if (e.kind() != SocketFailure::Kind::closed) {
        mailbox.send(SOCKET_ERROR, SocketErrorPayload{connection_id, "writer", e.what()});
      }
      return;
    } catch (const std::exception& e) {
      mailbox.send(SOCKET_ERROR, SocketErrorPayload{connection_id, "writer", e.what()});
      return;
    }
  }
}

}  // namespace quillpost::comms
