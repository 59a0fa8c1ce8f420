// One connection on the client socket.
#include <array>
#include <deque>
#include <vector>

#include "quillpost/host/base/text.h"
#include "service/server_impl.h"

namespace quillpost::service {
namespace {

// The keys of the client's authenticate message, in the order it sends them.
constexpr std::array<std::string_view, 12> authenticate_keys{
    "email",        "computerName", "clientKey", "inet",    "worldUuid", "instanceUuid",
    "connectionId", "hostname",     "username",  "version", "edition",   "clientSessionId"};

std::string seconds_text(Clock::duration d) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + "s";
}

tcp::socket& socket_of(tcp::socket& s) {
  return s;
}
tcp::socket& socket_of(ssl::stream<tcp::socket>& s) {
  return s.next_layer();
}

// One connection on the client socket: the server opens with
// "authentication", checks the client's "authenticate", answers heartbeats
// and delivers pushed messages. Reads and writes run side by side; writes are
// queued and go out one at a time.
template <typename Stream>
class WireSession : public WireConnection,
                    public std::enable_shared_from_this<WireSession<Stream>> {
  static constexpr bool is_tls = !std::is_same_v<Stream, tcp::socket>;

 public:
  WireSession(Service::Impl& service, std::uint64_t id, Stream stream, std::string peer)
      : service_(service),
        tag_("s-" + std::to_string(id)),
        id_(id),
        stream_(std::move(stream)),
        peer_(std::move(peer)),
        deadline_(service.ioc),
        idle_timer_(service.ioc),
        push_timer_(service.ioc),
        started_(Clock::now()),
        last_in_(started_) {}

  void start() {
    service_.write_log(tag_ + " connected from " + peer_ + (is_tls ? " over TLS" : ""));
    if constexpr (is_tls) {
      arm_deadline(tls_handshake_timeout, "TLS handshake timed out");
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](error_code ec) {
                                self->disarm_deadline();
                                if (ec) return self->close("TLS handshake failed: " + ec.message());
                                self->open();
                              });
    } else {
      open();
    }
  }

  void push(std::function<std::string(int)> make_line, int count,
            std::chrono::milliseconds interval) override {
    if (closed_) return;
    if (interval.count() <= 0) {
      for (int i = 0; i < count && !closed_; ++i) {
        send_line(make_line(i));
      }
      return;
    }
    push_timer_.cancel();
    push_make_ = std::move(make_line);
    push_left_ = count;
    push_index_ = 0;
    push_interval_ = interval;
    push_next();
  }

  void close(const std::string& reason) override {
    if (closed_) return;
    closed_ = true;
    deadline_.cancel();
    idle_timer_.cancel();
    push_timer_.cancel();
    error_code ignored;
    socket_of(stream_).shutdown(tcp::socket::shutdown_both, ignored);
    socket_of(stream_).close(ignored);
    service_.write_log(tag_ + " closed (" + reason + "): frames in " + std::to_string(frames_in_) +
                       ", out " + std::to_string(frames_out_) + ", after " +
                       seconds_text(Clock::now() - started_));
    // The map may hold the last reference to this session.
    Service::Impl& service = service_;
    const bool was_authenticated = authenticated();
    const ComputerKey computer_key = computer();
    const std::string world = world_;
    const std::uint64_t order = auth_order_;
    service.wires.erase(id_);
    if (was_authenticated) service.on_wire_closed(computer_key, world, order);
  }

  void send_event(std::string_view event, const ojson& payload) override {
    send_frame(event, payload);
  }
  bool authenticated() const override { return account_id_ != 0; }
  ComputerKey computer() const override { return {account_id_, computer_name_}; }
  const std::string& world() const override { return world_; }
  const std::string& instance() const override { return instance_; }
  std::uint64_t auth_order() const override { return auth_order_; }
  const std::string& client_connection_id() const override { return connection_id_; }
  const std::string& tag() const override { return tag_; }

  json info() const override {
    json j{{"id", tag_},
           {"peer", peer_},
           {"tls", is_tls},
           {"authenticated", authenticated()},
           {"connectionId", connection_id_},
           {"worldUuid", world_},
           {"instanceUuid", instance_},
           {"framesIn", frames_in_},
           {"framesOut", frames_out_},
           {"heartbeats", heartbeats_}};
    j["accountId"] = authenticated() ? json(account_id_) : json(nullptr);
    j["computerId"] = authenticated() ? json(computer_id_) : json(nullptr);
    return j;
  }

 private:
  const Faults& faults() const { return service_.options.faults; }

  void open() {
    silent_ = faults().get("socket") == "silent";
    if (silent_) {
      service_.write_log(tag_ + " stays silent (fault socket=silent)");
    } else {
      send_frame("authentication", ojson::object());
    }
    check_idle();
    do_read();
  }

  void do_read() {
    stream_.async_read_some(
        asio::buffer(read_buffer_),
        [self = this->shared_from_this()](error_code ec, std::size_t n) { self->on_read(ec, n); });
  }

  void on_read(error_code ec, std::size_t n) {
    if (closed_) return;
    if (ec) {
      bool by_peer = ec == asio::error::eof || ec == ssl::error::stream_truncated ||
                     ec == asio::error::connection_reset;
      return close(by_peer ? "closed by the client" : "read failed: " + ec.message());
    }
    last_in_ = Clock::now();
    lines_.clear();
    if (!reader_.feed(std::string_view(read_buffer_.data(), n), lines_)) {
      return protocol_error("frame longer than " + std::to_string(max_frame_bytes) + " bytes");
    }
    for (const std::string& line : lines_) {
      handle_line(line);
      if (closed_ || closing_) return;
    }
    do_read();
  }

  void handle_line(const std::string& line) {
    ++frames_in_;
    auto parsed = parse_frame(line);
    if (auto* error = std::get_if<std::string>(&parsed)) {
      return protocol_error(*error);
    }
    Frame& frame = std::get<Frame>(parsed);
    if (service_.options.log_frames) {
      service_.write_log(tag_ + " <- " + frame.event +
                         (frame.event == "authenticate"
                              ? std::string()
                              : " " + redact_tokens(frame.payload.dump())));
    }
    if (silent_) return;
    if (frame.event == "heartbeat") {
      ++heartbeats_;
      if (faults().get("heartbeat") == "answer") {
        send_frame("heartbeat", ojson::array());
      }
    } else if (frame.event == "authenticate") {
      authenticate(frame.payload);
    } else if (!authenticated()) {
      service_.write_log(tag_ + " ignores '" + frame.event + "' before authentication");
    } else if (frame.event == "printers") {
      service_.on_printers(*this, frame.payload);
    } else if (frame.event == "printers.state") {
      service_.on_printer_states(*this, frame.payload);
    } else if (frame.event == "print.status") {
      service_.on_print_status(*this, frame.payload);
    } else if (frame.event == "scales") {
      service_.on_scales(*this, frame.payload);
    } else if (frame.event == "scale.reading") {
      service_.on_scale_reading(*this, frame.payload);
    } else if (frame.event == "scale.read.result" || frame.event == "scale.zero.result") {
      service_.on_scale_result(*this, frame.event, frame.payload);
    }
  }

  void authenticate(const ojson& message) {
    if (!message.is_object()) {
      return send_frame("authenticate.response",
                        ojson{{"success", false},
                              {"errorMessage", "The authenticate message is not an object."}});
    }
    ojson recorded = message;
    if (recorded.contains("clientKey")) recorded["clientKey"] = "***";
    ojson keys = ojson::array();
    for (const auto& item : message.items()) keys.push_back(item.key());
    service_.last_authenticate = ojson{{"session", tag_}, {"keys", keys}, {"message", recorded}};
    if (auto id = message.find("connectionId"); id != message.end() && id->is_string()) {
      connection_id_ = id->get<std::string>();
    }

    const std::string& fault = faults().get("auth");
    if (fault != "ok") {
      return answer_with_fault(fault);
    }
    std::string missing;
    for (auto key : authenticate_keys) {
      if (!message.contains(key)) missing += (missing.empty() ? "" : ", ") + std::string(key);
    }
    if (!missing.empty()) {
      service_.write_log(tag_ + " authentication failed: message lacks " + missing);
      return send_failure("The authenticate message lacks: " + missing + ".");
    }
    const auto& key = message["clientKey"];
    const Account* account =
        key.is_string() ? service_.accounts.find_by_client_key(key.get<std::string>()) : nullptr;
    if (account == nullptr) {
      service_.write_log(tag_ + " authentication failed: unknown client key");
      return send_failure("Invalid client key.");
    }
    const auto& name = message["computerName"];
    computer_name_ = name.is_string() ? name.get<std::string>() : name.dump();
    const auto id_text = [&](const char* field) {
      const auto& value = message[field];
      return (value.is_string() ? value.get<std::string>() : value.dump()).substr(0, 256);
    };
    world_ = id_text("worldUuid");
    instance_ = id_text("instanceUuid");
    auth_order_ = service_.authentications + 1;
    account_id_ = account->id;
    computer_id_ = service_.accounts.computer_id(account->id, computer_name_);
    ++service_.authentications;
    service_.write_log(tag_ + " authenticated account " + std::to_string(account_id_) + " (" +
                       account->email + "), computer '" + escape_control(computer_name_) + "' id " +
                       std::to_string(computer_id_) + ", connection " + connection_id_);
    send_frame("authenticate.response",
               ojson{{"success", true}, {"accountId", account_id_}, {"id", computer_id_}});
    service_.check_installation(*this);
    if (closed_) return;
    service_.offer_open_jobs(*this);
    const ServiceOptions& o = service_.options;
    if (o.push_count > 0) {
      push(
          [event = o.push_event](int i) {
            return encode_frame(event, ojson{{"seq", i}});
          },
          o.push_count, std::chrono::milliseconds(o.push_interval_ms));
    }
  }

  void answer_with_fault(const std::string& fault) {
    service_.write_log(tag_ + " answers authenticate with fault auth=" + fault);
    const double retry = faults().retry_after();
    const std::string message = "Connection rejected by the test service.";
    if (fault == "fail") {
      send_failure("Authentication refused by the test service.");
    } else if (fault == "rejected") {
      send_frame("rejected", ojson{{"retryAfter", seconds_json(retry)}, {"message", message}});
    } else if (fault == "rejected-destroy") {
      send_frame("rejected", ojson{{"retryAfter", seconds_json(retry)},
                                   {"message", message},
                                   {"destroyClientKey", true}});
    } else if (fault == "rejected-bare") {
      send_frame("rejected", ojson::object());
    } else if (fault == "rejected-destroy-bare") {
      send_frame("rejected", ojson{{"destroyClientKey", true}});
    } else if (fault == "error") {
      send_frame("error", ojson{{"message", "Server error from the test service."}});
    } else if (fault == "oversized") {
      send_line(oversized_line());
    } else if (fault == "malformed") {
      send_line(malformed_line());
    }
  }

  void send_failure(const std::string& text) {
    send_frame("authenticate.response", ojson{{"success", false}, {"errorMessage", text}});
  }

  void protocol_error(const std::string& text) {
    service_.write_log(tag_ + " protocol error: " + text);
    send_frame("error", ojson{{"message", "protocol error: " + text}});
    close_after_writes("protocol error: " + text);
  }

  void send_frame(std::string_view event, const ojson& payload) {
    if (service_.options.log_frames) {
      service_.write_log(tag_ + " -> " + std::string(event) + " " + redact_tokens(payload.dump()));
    }
    send_line(encode_frame(event, payload));
  }

  void send_line(std::string line) {
    if (closed_ || closing_) return;
    queued_bytes_ += line.size();
    if (queued_bytes_ > max_queued_bytes) {
      return close("client does not keep up: over " + std::to_string(max_queued_bytes) +
                   " bytes queued");
    }
    ++frames_out_;
    out_.push_back(std::move(line));
    if (!writing_) do_write();
  }

  void do_write() {
    writing_ = true;
    arm_deadline(frame_write_timeout, "write timed out");
    asio::async_write(
        stream_, asio::buffer(out_.front()),
        [self = this->shared_from_this()](error_code ec, std::size_t) { self->on_write(ec); });
  }

  void on_write(error_code ec) {
    writing_ = false;
    disarm_deadline();
    if (closed_) return;
    if (ec) return close("write failed: " + ec.message());
    queued_bytes_ -= out_.front().size();
    out_.pop_front();
    if (!out_.empty()) return do_write();
    if (closing_) close(closing_reason_);
  }

  void close_after_writes(const std::string& reason) {
    closing_ = true;
    closing_reason_ = reason;
    if (!writing_) close(reason);
  }

  void arm_deadline(std::chrono::steady_clock::duration timeout, std::string what) {
    const auto generation = ++deadline_generation_;
    deadline_.expires_after(timeout);
    deadline_.async_wait(
        [self = this->shared_from_this(), generation, what = std::move(what)](error_code ec) {
          if (!ec && generation == self->deadline_generation_) self->close(what);
        });
  }

  // A deadline whose timer already fired, with its handler still queued,
  // must not act: the generation tells the handler it is stale.
  void disarm_deadline() {
    ++deadline_generation_;
    deadline_.cancel();
  }

  void check_idle() {
    const double idle = service_.options.idle_timeout;
    if (idle <= 0 || closed_) return;
    const auto due =
        last_in_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(idle));
    if (Clock::now() >= due) {
      return close("nothing received for " + std::to_string(idle) + "s");
    }
    idle_timer_.expires_at(due);
    idle_timer_.async_wait([self = this->shared_from_this()](error_code ec) {
      if (!ec) self->check_idle();
    });
  }

  void push_next() {
    if (closed_ || push_left_ <= 0) return;
    send_line(push_make_(push_index_++));
    if (--push_left_ > 0) {
      push_timer_.expires_after(push_interval_);
      push_timer_.async_wait([self = this->shared_from_this()](error_code ec) {
        if (!ec) self->push_next();
      });
    }
  }

  Service::Impl& service_;
  std::string tag_;
  std::uint64_t id_;
  Stream stream_;
  std::string peer_;
  asio::steady_timer deadline_;
  std::uint64_t deadline_generation_ = 0;
  asio::steady_timer idle_timer_;
  asio::steady_timer push_timer_;
  Clock::time_point started_;
  Clock::time_point last_in_;

  std::array<char, 16 * 1024> read_buffer_{};
  LineReader reader_;
  std::vector<std::string> lines_;
  std::deque<std::string> out_;
  std::size_t queued_bytes_ = 0;
  bool writing_ = false;
  bool closing_ = false;
  std::string closing_reason_;
  bool closed_ = false;
  bool silent_ = false;

  std::function<std::string(int)> push_make_;
  int push_left_ = 0;
  int push_index_ = 0;
  std::chrono::milliseconds push_interval_{0};

  std::int64_t account_id_ = 0;
  std::int64_t computer_id_ = 0;
  std::string computer_name_;
  std::string world_;
  std::string instance_;
  std::uint64_t auth_order_ = 0;
  std::string connection_id_;
  std::uint64_t frames_in_ = 0;
  std::uint64_t frames_out_ = 0;
  std::uint64_t heartbeats_ = 0;
};

}  // namespace

void start_wire_session(Service::Impl& service, std::uint64_t id, tcp::socket socket,
                        ssl::context* tls, std::string peer) {
  std::shared_ptr<WireConnection> session;
  if (tls) {
    auto tls_session = std::make_shared<WireSession<ssl::stream<tcp::socket>>>(
        service, id, ssl::stream<tcp::socket>(std::move(socket), *tls), std::move(peer));
    service.wires.emplace(id, tls_session);
    tls_session->start();
  } else {
    auto plain_session =
        std::make_shared<WireSession<tcp::socket>>(service, id, std::move(socket), std::move(peer));
    service.wires.emplace(id, plain_session);
    plain_session->start();
  }
}

}  // namespace quillpost::service
