// The connection's socket on Asio: connect (direct or through a proxy), TLS,
// and the blocking, thread-safe Socket operations the workers use.
//
// Every socket lives on one process-wide reactor thread; each has a strand,
// and the blocking calls post their work onto that strand and wait for it. So
// a reader, a writer and a closer on three threads never touch the stream at
// the same moment, which TLS streams require.
// clang-format off
#include <utility>  // before Asio: its coroutine support needs std::exchange
// clang-format on

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <charconv>
#include <future>
#include <mutex>
#include <thread>
#include <utility>  // before Asio: its coroutine support needs std::exchange

#include "quillpost/host/base/http_url.h"
#include "quillpost/host/base/openssl.h"
#include "quillpost/host/base/text.h"
#include "quillpost/host/comms/clock.h"
#include "quillpost/host/process/threads.h"
#include "quillpost/host/process/timer_duration.h"
#include "quillpost/host/runtime/comms/proxy.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::comms {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Strand = asio::strand<asio::io_context::executor_type>;

namespace {

// At load, before anything in the process can touch OpenSSL.
[[maybe_unused]] const bool openssl_initialized = (init_openssl_without_exit_cleanup(), true);

// The reactor: one io_context and its thread for the life of the process. It
// is never destroyed, so detached workers may still use sockets at exit. The
// work guard lives in the same block as the context, so that it stays
// reachable (a pointer kept only in an unread variable is optimised away, and
// the leak checker then reports the guard).
struct Reactor {
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work{asio::make_work_guard(io)};
};

asio::io_context& reactor() {
  static asio::io_context* io = [] {
    auto* ctx = &(new Reactor)->io;
    start_thread([ctx] {
      for (;;) {
        try {
          ctx->run();
          return;
        } catch (...) {
          // Handlers report their own failures; keep the reactor alive.
        }
      }
    }).detach();
    return ctx;
  }();
  return *io;
}

Address to_address(const tcp::endpoint& e) {
  return {e.address().to_string(), static_cast<std::int64_t>(e.port())};
}

// The socket after connect: a plain TCP stream or a TLS stream over one.
template <typename Stream>
class AsioSocket final : public Socket, public std::enable_shared_from_this<AsioSocket<Stream>> {
 public:
  AsioSocket(Strand strand, std::shared_ptr<ssl::context> tls_context, Stream stream)
      : strand_(std::move(strand)),
        tls_context_(std::move(tls_context)),
        stream_(std::move(stream)),
        read_timer_(strand_) {
    error_code ec;
    auto local = stream_.lowest_layer().local_endpoint(ec);
    if (!ec) local_ = to_address(local);
    auto peer = stream_.lowest_layer().remote_endpoint(ec);
    if (!ec) peer_ = to_address(peer);
  }

  void close() noexcept override {
    if (closed_.exchange(true)) return;
    try {
      asio::post(strand_, [self = this->shared_from_this()] { self->close_now(); });
    } catch (...) {
    }
  }

  bool is_closed() const override { return closed_.load(); }
  Address getsockname() const override { return local_; }
  Address getpeername() const override { return peer_; }

  std::size_t read_some(std::span<char> buffer, std::optional<double> timeout) override {
    std::lock_guard one_reader(read_mutex_);
    auto done = std::make_shared<std::promise<std::pair<error_code, std::size_t>>>();
    auto result = done->get_future();
    auto self = this->shared_from_this();
    asio::post(strand_, [self, done, buffer, timeout] {
      if (self->closed_) {
        done->set_value({asio::error::operation_aborted, 0});
        return;
      }
      self->timed_out_ = false;
      if (timeout) {
        self->read_timer_.expires_after(timer_duration(*timeout));
        self->read_timer_.async_wait([self](error_code ec) {
          if (ec) return;
          // A read deadline ends the connection: the stream is left mid-frame.
          self->timed_out_ = true;
          self->closed_ = true;
          self->close_now();
        });
      }
      self->stream_.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                                    [self, done](error_code ec, std::size_t n) {
                                      self->read_timer_.cancel();
                                      done->set_value({ec, n});
                                    });
    });
    auto [ec, n] = result.get();
    if (!ec) return n;
    if (timed_out_) {
      throw SocketFailure(SocketFailure::Kind::timed_out,
                          "no data within " + to_text(timeout.value_or(0.0)) + "s");
    }
    throw failure(ec, "read");
  }

  void write_all(std::string_view data) override {
    std::lock_guard one_writer(write_mutex_);
    auto done = std::make_shared<std::promise<error_code>>();
    auto result = done->get_future();
    auto self = this->shared_from_this();
    asio::post(strand_, [self, done, data] {
      if (self->closed_) {
        done->set_value(asio::error::operation_aborted);
        return;
      }
      asio::async_write(self->stream_, asio::buffer(data.data(), data.size()),
                        [done](error_code ec, std::size_t) { done->set_value(ec); });
    });
    if (error_code ec = result.get()) throw failure(ec, "write");
  }

 private:
  SocketFailure failure(const error_code& ec, const char* what) const {
    if (closed_ || ec == asio::error::operation_aborted) {
      return SocketFailure(SocketFailure::Kind::closed, std::string(what) + ": socket closed");
    }
    if (ec == asio::error::eof || ec == ssl::error::stream_truncated) {
      return SocketFailure(SocketFailure::Kind::end_of_stream,
                           std::string(what) + ": connection closed by the server");
    }
    return SocketFailure(SocketFailure::Kind::failed, std::string(what) + ": " + ec.message());
  }

  // On the strand.
  void close_now() {
    error_code ec;
    read_timer_.cancel();
    auto& s = stream_.lowest_layer();
    s.shutdown(tcp::socket::shutdown_both, ec);
    s.close(ec);
  }

  Strand strand_;
  std::shared_ptr<ssl::context> tls_context_;  // outlives the stream that uses it
  Stream stream_;
  asio::steady_timer read_timer_;
  std::atomic<bool> closed_{false};
  bool timed_out_ = false;  // on the strand; read by the reader after its future
  Address local_;
  Address peer_;
  std::mutex read_mutex_;
  std::mutex write_mutex_;
};

using TlsStream = ssl::stream<tcp::socket>;

// The state of one connect, shared by its coroutine and its deadline.
struct Connect : ConnectProgress {
  Connect(std::string a, std::int64_t p, std::optional<Proxy> pr, ConnectOptions o)
      : strand(asio::make_strand(reactor())),
        resolver(strand),
        socket(strand),
        deadline(strand),
        address(std::move(a)),
        port(p),
        proxy(std::move(pr)),
        options(std::move(o)) {
    timeout = options.timeout;
  }

  Strand strand;
  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer deadline;
  std::string address;
  std::int64_t port;
  std::optional<Proxy> proxy;
  ConnectOptions options;
  bool finished = false;  // the coroutine has ended: the deadline must not act
  std::shared_ptr<ssl::context> tls_context;
  std::optional<TlsStream> tls;
};

std::uint16_t port_number(const std::string& text, const std::string& what) {
  unsigned value = 0;
  auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (err != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
    throw SocketFailure(SocketFailure::Kind::failed, what + ": bad port '" + text + "'");
  }
  return static_cast<std::uint16_t>(value);
}

std::string target_text(const Connect& c) {
  return c.address + ":" + std::to_string(c.port);
}

asio::awaitable<void> tls_handshake(Connect& c) {
  const TlsSettings& t = c.options.tls;
  const std::string name = t.server_name.empty() ? c.address : t.server_name;
  c.step = "TLS handshake with " + name;
  c.tls_context = std::make_shared<ssl::context>(ssl::context::tls_client);
  SSL_CTX_set_min_proto_version(c.tls_context->native_handle(), TLS1_2_VERSION);
  if (t.verify) {
    if (t.cacert_file) {
      if (SSL_CTX_load_verify_locations(c.tls_context->native_handle(), t.cacert_file->c_str(),
                                        nullptr) != 1) {
        c.fail("cannot load CA file " + *t.cacert_file + ": " + openssl_error_text());
      }
    } else {
      SSL_CTX_set_default_verify_paths(c.tls_context->native_handle());
    }
    c.tls_context->set_verify_mode(ssl::verify_peer);
    c.tls_context->set_verify_callback(ssl::host_name_verification(name));
  } else {
    c.tls_context->set_verify_mode(ssl::verify_none);
  }
  c.tls.emplace(std::move(c.socket), *c.tls_context);
  if (!is_ip_literal(name)) SSL_set_tlsext_host_name(c.tls->native_handle(), name.c_str());
  error_code ec;
  co_await c.tls->async_handshake(ssl::stream_base::client, awaitable_ec(ec));
  if (ec && !c.timed_out) {
    const long verify = SSL_get_verify_result(c.tls->native_handle());
    std::string why = ec.message();
    if (verify != X509_V_OK) {
      why = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
      // A certificate refused for its dates is most often a wrong clock here.
      if (verify == X509_V_ERR_CERT_NOT_YET_VALID || verify == X509_V_ERR_CERT_HAS_EXPIRED) {
        const std::string clock =
            clock_reason_for_certificate(verify == X509_V_ERR_CERT_NOT_YET_VALID);
        if (!clock.empty()) why += "; " + clock;
      }
    } else if (auto more = openssl_error_text(); !more.empty()) {
      why += " (" + more + ")";
    }
    c.fail(why);
  }
  c.check(ec);
}

asio::awaitable<void> run_connect(std::shared_ptr<Connect> c) {
  const bool proxied = c->proxy.has_value();
  const std::string host = proxied ? c->proxy->host : c->address;
  std::string service;
  if (proxied) {
    service = std::to_string(port_number(c->proxy->port, "proxy " + c->proxy->host));
  } else {
    if (c->port <= 0 || c->port > 65535) {
      throw SocketFailure(SocketFailure::Kind::failed, "connect " + target_text(*c) + ": bad port");
    }
    service = std::to_string(c->port);
  }
  c->step = (proxied ? "resolve proxy " : "resolve ") + host;
  error_code ec;
  auto endpoints = co_await c->resolver.async_resolve(host, service, awaitable_ec(ec));
  c->check(ec);
  c->step = (proxied ? "connect to proxy " : "connect to ") + host + ":" + service;
  co_await asio::async_connect(c->socket, endpoints, awaitable_ec(ec));
  c->check(ec);
  c->socket.set_option(tcp::no_delay(true), ec);
  if (proxied) {
    co_await proxy_handshake(Tunnel{c->socket, c->resolver, *c, *c->proxy, c->address, c->port});
  }
  if (c->options.tls.enabled) co_await tls_handshake(*c);
}

}  // namespace

std::shared_ptr<Socket> open_socket(const std::string& address, std::int64_t port,
                                    const std::optional<Proxy>& proxy,
                                    const ConnectOptions& options) {
  auto c = std::make_shared<Connect>(address, port, proxy, options);
  // The outcome crosses threads as plain values: a failure's kind and text.
  struct Outcome {
    std::optional<SocketFailure::Kind> failure;
    std::string what;
  };
  auto done = std::make_shared<std::promise<Outcome>>();
  auto result = done->get_future();
  asio::post(c->strand, [c, done] {
    c->deadline.expires_after(timer_duration(c->options.timeout));
    c->deadline.async_wait([c](error_code ec) {
      if (ec || c->finished) return;
      c->timed_out = true;
      error_code ignored;
      c->resolver.cancel();
      if (c->tls) {
        c->tls->lowest_layer().close(ignored);
      } else {
        c->socket.close(ignored);
      }
    });
    asio::co_spawn(c->strand, run_connect(c), [c, done](std::exception_ptr error) {
      c->finished = true;
      c->deadline.cancel();
      Outcome outcome;
      if (error) {
        try {
          std::rethrow_exception(error);
        } catch (const SocketFailure& e) {
          outcome = {e.kind(), e.what()};
        } catch (const std::exception& e) {
          outcome = {SocketFailure::Kind::failed, c->step + ": " + e.what()};
        } catch (...) {
          outcome = {SocketFailure::Kind::failed, c->step + ": unknown failure"};
        }
      }
      done->set_value(std::move(outcome));
    });
  });
  Outcome outcome = result.get();
  if (outcome.failure) throw SocketFailure(*outcome.failure, outcome.what);
  // The coroutine is done; the connect state is ours alone now.
  if (c->tls) {
    return std::make_shared<AsioSocket<TlsStream>>(c->strand, c->tls_context, std::move(*c->tls));
  }
  return std::make_shared<AsioSocket<tcp::socket>>(c->strand, nullptr, std::move(c->socket));
}

std::shared_ptr<Socket> open_http_socket(const HttpUrl& url, const HttpConfig& http_config,
                                         double timeout) {
  ConnectOptions options;
  options.timeout = timeout;
  options.tls.enabled = url.https;
  options.tls.verify = http_config.ssl_verify;
  options.tls.cacert_file = http_config.cacert_file;
  options.tls.server_name = url.host;
  return open_socket(url.host, url.port, http_config.proxy, options);
}

}  // namespace quillpost::comms
