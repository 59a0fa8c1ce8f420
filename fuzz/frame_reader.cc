// Fuzzes the connection's frame reader: the listener worker reading a byte
// stream from a socket that hands the input over in pieces.
//
// Input: the first byte picks the piece size (1 to 256 bytes), the rest is the
// stream. Any outcome is fine but a crash, a sanitizer report or a hang. Each
// frame the listener accepted must survive a round trip: encoded again and
// read by a fresh listener, it gives the same event and payload, and it nests
// no deeper than the frame limit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "checks.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace {

using namespace quillpost;

// A socket that returns `data` in pieces of at most `piece` bytes, then the
// end of the stream.
class ScriptedSocket final : public comms::Socket {
 public:
  ScriptedSocket(std::string_view data, std::size_t piece) : data_(data), piece_(piece) {}

  void close() noexcept override { closed_ = true; }
  bool is_closed() const override { return closed_; }
  comms::Address getsockname() const override { return {"127.0.0.1", 1}; }
  comms::Address getpeername() const override { return {"127.0.0.1", 2}; }

  std::size_t read_some(std::span<char> buffer, std::optional<double>) override {
    if (closed_) throw comms::SocketFailure(comms::SocketFailure::Kind::closed, "closed");
    if (data_.empty()) {
      throw comms::SocketFailure(comms::SocketFailure::Kind::end_of_stream, "end of stream");
    }
    const std::size_t n = std::min({piece_, buffer.size(), data_.size()});
    std::copy_n(data_.data(), n, buffer.data());
    data_.remove_prefix(n);
    return n;
  }

  void write_all(std::string_view) override {}

 private:
  std::string_view data_;
  std::size_t piece_;
  bool closed_ = false;
};

// Keeps what the listener posts.
class Collector final : public agent::MessageSink {
 public:
  void post(agent::Message message) override {
    std::lock_guard lock(mutex_);
    messages.push_back(std::move(message));
  }
  std::mutex mutex_;
  std::vector<agent::Message> messages;
};

// Whether `value` nests arrays and objects more than `levels` deep; looks no
// deeper than that.
bool deeper_than(const nlohmann::json& value, std::size_t levels) {
  if (!value.is_structured()) return false;
  if (levels == 0) return true;
  for (const auto& item : value) {
    if (deeper_than(item, levels - 1)) return true;
  }
  return false;
}

[[noreturn]] void fail(const char* what) {
  fuzz::fail("frame reader", what);
}

std::vector<agent::Message> read_stream(std::string_view data, std::size_t piece) {
  auto sink = std::make_shared<Collector>();
  auto sock = std::make_shared<ScriptedSocket>(data, piece);
  comms::listen(sock, "fuzz", std::nullopt, agent::Mailbox("fuzz", sink),
                comms::noop_protocol_log_writer());
  return std::move(sink->messages);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  const auto messages = read_stream(stream, piece);
  // The listener always ends with exactly one SOCKET_ERROR, after the frames.
  if (messages.empty() || messages.back().event != comms::SOCKET_ERROR) {
    fail("the listener did not end with one socket error");
  }
  for (std::size_t i = 0; i + 1 < messages.size(); ++i) {
    if (messages[i].event != comms::SERVER_MESSAGE) fail("a message other than a frame");
    const auto& frame = agent::payload_as<comms::ServerMessage>(messages[i].payload);
    if (frame.event == comms::HEARTBEAT) fail("a heartbeat reached the agent");
    if (frame.connection_id != "fuzz") fail("the connection id was lost");
    // The frame's own object is the first level.
    if (deeper_than(frame.payload, comms::MAX_FRAME_DEPTH - 1)) fail("a frame nested too deep");

    const std::string again = comms::encode_frame(frame.event, frame.payload) + "\n";
    const auto reread = read_stream(again, again.size());
    if (reread.size() != 2 || reread[0].event != comms::SERVER_MESSAGE) {
      fail("a re-encoded frame was not read back as one frame");
    }
    const auto& back = agent::payload_as<comms::ServerMessage>(reread[0].payload);
    if (back.event != frame.event) fail("the event changed in a round trip");
    // A frame without a payload reads back with a null payload, which is the
    // same thing on the wire.
    if (back.payload != frame.payload) fail("the payload changed in a round trip");
  }
  return 0;
}
