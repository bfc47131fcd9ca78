#include "http/local_server.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <limits>
#include <list>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "base/log.h"
#include "http/peer_owner.h"
#include "http/refusal_log.h"
#include "morvane/core/net/listen_options.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"

namespace vantriel {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

using Clock = std::chrono::steady_clock;

// A connection that has not sent a whole request header this long after it was opened or
// last answered is closed. Well above the page's own polling, so that the page's
// keep-alive connection normally survives between its requests.
constexpr auto kIdleTimeout = std::chrono::minutes(5);
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
// Bounds what one read may buffer beyond the header, and so the overshoot past the body
// limit before the body is cut.
constexpr std::size_t kReadBufferLimit = 128 * 1024;
// After a cut body the reply goes out and the rest of the body is read and dropped for a
// while before closing: closing with unread bytes would reset the connection and could
// destroy the reply before the client reads it.
constexpr std::size_t kDrainLimit = 16 * 1024 * 1024;
constexpr auto kDrainTime = std::chrono::seconds(2);
// What one read of a socket message takes at most; the message itself is bounded by
// kMaxBodyBytes.
constexpr std::size_t kMessageReadChunk = 64 * 1024;

class Connection;

struct Job {
  std::shared_ptr<Connection> connection;
  HttpRequest request;
};

// The one queue between the I/O thread and the workers.
class JobQueue {
 public:
  void push(Job job) {
    {
      morvane::MutexLock lock(mu_);
      jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
  }

  // The next job, or nothing once the queue is closed.
  std::optional<Job> pop() {
    morvane::MutexLock lock(mu_);
    while (jobs_.empty() && !closed_) ready_.wait(mu_);
    if (closed_) return std::nullopt;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }

  // Wakes every worker; jobs still queued are dropped with the queue.
  void close() {
    {
      morvane::MutexLock lock(mu_);
      closed_ = true;
    }
    ready_.notify_all();
  }

 private:
  morvane::Mutex mu_;
  morvane::CondVar ready_;
  std::deque<Job> jobs_ GUARDED_BY(mu_);
  bool closed_ GUARDED_BY(mu_) = false;
};

}  // namespace

struct LocalServer::Impl {
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  tcp::acceptor acceptor{io};
  asio::steady_timer accept_retry{io};
  JobQueue queue;
  Handler handler;
  BodyGate wants_body;
  SocketGate opens_socket;
  Immediate answers_at_once;
  const Log* log = nullptr;  // set by start(); outlives the server
  std::uint16_t port = 0;
  // Every open connection, in the order accepted. Touched on the I/O thread only.
  std::list<Connection*> connections;
  std::thread io_thread;             // "local server I/O"
  std::vector<std::thread> workers;  // "local server worker"
  RefusalLog refusals;  // touched on the I/O thread only

  void accept();
  bool admit(const tcp::socket& socket);
  bool make_room();
  void work_loop();
};

namespace {

// Lives on the I/O thread, except send(), which a worker calls once per request.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Phase {
    kWaiting,   // for the header of its next request, or a socket's next message
    kBody,      // reading the body of an accepted request
    kBusy,      // its request is queued or being handled
    kWriting,   // the reply is being written
    kDraining,  // answered; dropping what the client still sends before closing
    kClosed,
  };

  Connection(tcp::socket socket, LocalServer::Impl& server)
      : stream_(std::move(socket)),
        buffer_(kReadBufferLimit),
        server_(server),
        message_deadline_(stream_.get_executor()) {}

  void start() {
    position_ = server_.connections.insert(server_.connections.end(), this);
    read_header();
  }

  Phase phase() const { return phase_; }
  bool closed() const { return phase_ == Phase::kClosed; }
  // Whether the connection became a WebSocket, which only a page holding the token opens.
  bool is_socket() const { return socket_.has_value(); }
  Clock::time_point since() const { return since_; }

  // Idempotent. Leaves the server's list at once; pending operations end with an error
  // and drop their hold on the connection.
  void close() {
    if (closed()) return;
    phase_ = Phase::kClosed;
    server_.connections.erase(position_);
    message_deadline_.cancel();
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  // Any thread: hands the reply to the I/O thread, which writes it.
  void send(HttpReply reply) {
    asio::post(stream_.get_executor(), [self = shared_from_this(), r = std::move(reply)]() mutable {
      self->write(std::move(r));
    });
  }

 private:
  enum class Body { kWhole, kCut, kDropped };

  // A closed connection stays closed: a completion already queued when it was closed may
  // still arrive without an error.
  void enter(Phase phase) {
    if (closed()) return;
    phase_ = phase;
    since_ = Clock::now();
  }

  void read_header() {
    enter(Phase::kWaiting);
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    // The body is cut here, not refused by the parser. (Boost 1.74 compares lengths with
    // an empty optional as if it were a limit of zero, so "no limit" is spelled out.)
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    stream_.expires_after(kIdleTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](error_code ec, std::size_t) {
                              if (ec || self->closed()) return self->close();
                              self->on_header();
                            });
  }

  void on_header() {
    const auto& req = parser_->get();
    request_ = HttpRequest();
    request_.method = std::string(req.method_string());
    request_.target = std::string(req.target());
    for (const auto& field : req) {
      request_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    version_ = req.version();
    if (websocket::is_upgrade(req) && server_.opens_socket && server_.opens_socket(request_)) {
      return open_socket();
    }
    // A body nobody will read is not read: the client is answered from the header and the
    // rest is dropped while draining, so it never takes memory.
    if (!parser_->is_done() && server_.wants_body && !server_.wants_body(request_)) {
      return dispatch(Body::kDropped);
    }
    enter(Phase::kBody);
    // One deadline for the whole body, not one per read, so that a trickle of bytes cannot
    // hold the connection.
    stream_.expires_after(kBodyTime);
    if (req.version() >= 11 && beast::iequals(req[http::field::expect], "100-continue")) {
      auto go_on = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                       req.version());
      http::async_write(stream_, *go_on,
                        [self = shared_from_this(), go_on](error_code ec, std::size_t) {
                          if (ec || self->closed()) return self->close();
                          self->read_body();
                        });
      return;
    }
    read_body();
  }

  void read_body() {
    if (parser_->is_done()) return dispatch(Body::kWhole);
    if (parser_->get().body().size() >= kMaxBodyBytes) return dispatch(Body::kCut);
    http::async_read_some(stream_, buffer_, *parser_,
                          [self = shared_from_this()](error_code ec, std::size_t) {
                            if (ec || self->closed()) return self->close();
                            self->read_body();
                          });
  }

  void dispatch(Body body) {
    auto& req = parser_->get();
    HttpRequest request = std::move(request_);
    if (body != Body::kDropped) request.body = std::move(req.body());
    if (body == Body::kCut) request.body.resize(std::min(request.body.size(), kMaxBodyBytes));
    // A dropped body counts as cut: whatever the handler does, it never sees a whole body.
    request.body_cut = body != Body::kWhole;
    keep_alive_ = req.keep_alive() && body == Body::kWhole;
    drain_after_reply_ = body != Body::kWhole;
    enter(Phase::kBusy);
    // While a worker handles the request the client waits; that is not idleness.
    stream_.expires_never();
    if (server_.answers_at_once) {
      std::optional<HttpReply> reply;
      try {
        reply = server_.answers_at_once(request);
      } catch (...) {
        server_.log->line("[HTTP] " + request.method + " " + std::string(request.path()) +
                          " no se pudo responder al momento (la atiende un trabajador): " +
                          exception_reason());
        reply.reset();  // the worker's handler answers it, as any other request
      }
      if (reply) return write(std::move(*reply));
    }
    server_.queue.push(Job{shared_from_this(), std::move(request)});
  }

  void write(HttpReply reply) {
    if (socket_) return write_message(std::move(reply));
    using Response = http::response<http::span_body<const char>>;
    auto res = std::make_shared<Response>();
    res->version(version_);
    res->result(static_cast<unsigned>(reply.status));
    res->set(http::field::content_type, reply.content_type);
    res->set(http::field::cache_control, reply.cache_control);
    res->set("X-Frame-Options", "DENY");
    res->set("Content-Security-Policy", "frame-ancestors 'none'");
    res->set("X-Content-Type-Options", "nosniff");
    res->set("Referrer-Policy", "no-referrer");
    std::string_view body = reply.body_view();
    res->body() = boost::beast::span<const char>(body.data(), body.size());
    res->keep_alive(keep_alive_);
    res->prepare_payload();
    if (closed()) {
      if (reply.on_sent) reply.on_sent();
      return;
    }
    enter(Phase::kWriting);
    stream_.expires_after(kIdleTimeout);
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res, hold = reply.body,
                       on_sent = std::move(reply.on_sent)](error_code ec, std::size_t) {
                        if (on_sent) on_sent();
                        if (ec || self->closed()) return self->close();
                        if (self->drain_after_reply_) return self->drain();
                        if (!self->keep_alive_) return self->close();
                        self->read_header();
                      });
  }

  // The connection becomes a WebSocket: each message is a job like a request, its reply's
  // body the answer, and the next message is read only once that answer is written. So
  // messages are handled in order, one at a time, and a socket waiting for its next
  // message holds no worker. Pings keep a socket whose page is gone from staying open.
  void open_socket() {
    enter(Phase::kBusy);
    socket_target_ = std::move(request_.target);
    stream_.expires_never();
    socket_.emplace(stream_);
    socket_->set_option(websocket::stream_base::timeout{
        std::chrono::seconds(30), std::chrono::seconds(60), /*keep_alive_pings=*/true});
    socket_->read_message_max(kMaxBodyBytes);
    socket_->async_accept(parser_->release(), [self = shared_from_this()](error_code ec) {
      if (ec || self->closed()) return self->close();
      self->read_message();
    });
  }

  void read_message() {
    enter(Phase::kWaiting);
    message_.clear();
    message_started_ = false;
    read_message_part();
  }

  // A message read in parts, so that its deadline starts with its first bytes: the
  // socket's own time-out is reset by every byte, and a message sent a fragment (or a few
  // bytes) at a time would otherwise hold its growing buffer for as long as it likes.
  void read_message_part() {
    socket_->async_read_some(message_, kMessageReadChunk,
                             [self = shared_from_this()](error_code ec, std::size_t) {
                               if (ec || self->closed()) return self->close();
                               self->on_message_part();
                             });
  }

  void on_message_part() {
    if (socket_->is_message_done()) {
      message_deadline_.cancel();
      return on_message();
    }
    if (!message_started_) {
      message_started_ = true;
      message_deadline_.expires_after(kBodyTime);
      message_deadline_.async_wait([self = shared_from_this()](error_code ec) {
        if (!ec) self->close();
      });
    }
    read_message_part();
  }

  void on_message() {
    HttpRequest request;
    request.target = socket_target_;
    request.body = beast::buffers_to_string(message_.data());
    request.from_socket = true;
    message_.clear();
    enter(Phase::kBusy);
    if (server_.answers_at_once) {
      std::optional<HttpReply> reply;
      try {
        reply = server_.answers_at_once(request);
      } catch (...) {
        // Part of the message may have taken effect (input, say): a worker must not run it
        // again. The client sees the socket close, as when it is lost.
        server_.log->line("[HTTP] mensaje de " + std::string(request.path()) +
                          " sin respuesta al momento (se cierra el socket): " + exception_reason());
        return close();
      }
      if (reply) return write(std::move(*reply));
    }
    server_.queue.push(Job{shared_from_this(), std::move(request)});
  }

  void write_message(HttpReply reply) {
    if (closed()) {
      if (reply.on_sent) reply.on_sent();
      return;
    }
    enter(Phase::kWriting);
    std::string_view body = reply.body_view();
    socket_->text(true);
    socket_->async_write(asio::buffer(body.data(), body.size()),
                         [self = shared_from_this(), hold = reply.body,
                          on_sent = std::move(reply.on_sent)](error_code ec, std::size_t) {
                           if (on_sent) on_sent();
                           if (ec || self->closed()) return self->close();
                           self->read_message();
                         });
  }

  // Sends our FIN, then reads and drops what the client still sends, for a bounded time
  // and amount, before closing.
  void drain() {
    enter(Phase::kDraining);
    parser_.reset();
    buffer_.clear();
    buffer_.shrink_to_fit();
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kDrainTime);
    drain_some();
  }

  void drain_some() {
    if (drained_ >= kDrainLimit) return close();
    stream_.async_read_some(asio::buffer(drain_buffer_),
                            [self = shared_from_this()](error_code ec, std::size_t n) {
                              if (ec || self->closed()) return self->close();
                              self->drained_ += n;
                              self->drain_some();
                            });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpRequest request_;  // the current request's head, from on_header() to dispatch()
  LocalServer::Impl& server_;
  std::list<Connection*>::iterator position_;  // in server_.connections while open
  Phase phase_ = Phase::kWaiting;
  Clock::time_point since_ = Clock::now();
  unsigned version_ = 11;
  bool keep_alive_ = false;
  bool drain_after_reply_ = false;
  std::size_t drained_ = 0;
  std::array<char, 16 * 1024> drain_buffer_{};
  // Once the connection is a WebSocket: the stream over stream_, the handshake's target
  // (each message's request carries it) and the message being read.
  std::optional<websocket::stream<beast::tcp_stream&>> socket_;
  std::string socket_target_;
  beast::flat_buffer message_;
  // A message must arrive whole within kBodyTime of its first bytes, as a body must.
  asio::steady_timer message_deadline_;
  bool message_started_ = false;
};

}  // namespace

void LocalServer::Impl::accept() {
  acceptor.async_accept([this](error_code ec, tcp::socket socket) {
    if (ec) {
      // Out of descriptors and the like: try again shortly instead of spinning.
      accept_retry.expires_after(std::chrono::milliseconds(100));
      accept_retry.async_wait([this](error_code) { accept(); });
      return;
    }
    error_code ignored;
    // Before the cap, so that refused connections never take a place among the open ones.
    if (!admit(socket)) {
      socket.close(ignored);
      return accept();
    }
    if (connections.size() >= kMaxConnections && !make_room()) {
      socket.close(ignored);
      return accept();
    }
    socket.set_option(tcp::no_delay(true), ignored);
    std::make_shared<Connection>(std::move(socket), *this)->start();
    accept();
  });
}

namespace {

TcpEnd tcp_end(const tcp::endpoint& endpoint) {
  TcpEnd end;
  const auto address = endpoint.address();
  if (address.is_v4()) {
    const auto bytes = address.to_v4().to_bytes();
    std::copy(bytes.begin(), bytes.end(), end.address.begin());
  } else {
    const auto bytes = address.to_v6().to_bytes();
    std::copy(bytes.begin(), bytes.end(), end.address.begin());
    end.v6 = true;
  }
  end.port = endpoint.port();
  return end;
}

}  // namespace

// Whether a new connection comes from a process of this host's user (http/peer_owner.h).
// Asked once per connection: its later requests, kept alive, are not asked again.
bool LocalServer::Impl::admit(const tcp::socket& socket) {
  error_code local_error, remote_error;
  const auto local = socket.local_endpoint(local_error);
  const auto remote = socket.remote_endpoint(remote_error);
  if (local_error || remote_error) return false;  // already reset by the peer
  const TcpEnd peer = tcp_end(remote);
  const PeerOwner owner = loopback_peer_owner(tcp_end(local), peer);
  if (owner == PeerOwner::kOwnUser) return true;
  if (auto line = refusals.refuse(owner, peer, Clock::now())) log->line(*line);
  return false;
}

// Closes the connection that has waited longest for its next request, else the oldest
// one that is only draining after its reply, else the oldest whose reply its client is
// not reading, and only then an input socket (which only the page, holding the token,
// opens: a flood of idle connections must not cut the page's input first). Connections
// whose body is arriving or whose request is being handled are left alone (the body has
// its deadline, the handler its worker); when every open connection is one of those,
// returns false.
bool LocalServer::Impl::make_room() {
  constexpr int kKeep = 4;
  auto rank = [](const Connection* c) {
    if (c->is_socket()) return c->phase() == Connection::Phase::kBusy ? kKeep : 3;
    switch (c->phase()) {
      case Connection::Phase::kWaiting:
        return 0;
      case Connection::Phase::kDraining:
        return 1;
      case Connection::Phase::kWriting:
        return 2;
      default:
        return kKeep;
    }
  };
  Connection* victim = nullptr;
  for (Connection* c : connections) {
    if (rank(c) == kKeep) continue;
    if (!victim || rank(c) < rank(victim) ||
        (rank(c) == rank(victim) && c->since() < victim->since())) {
      victim = c;
    }
  }
  if (!victim) return false;
  victim->close();
  return true;
}

void LocalServer::Impl::work_loop() {
  while (std::optional<Job> next = queue.pop()) {
    Job& job = *next;
    HttpReply reply;
    try {
      reply = handler(job.request);
    } catch (...) {
      log->line("[HTTP] " + job.request.method + " " + std::string(job.request.path()) +
                " fall\xC3\xB3 (respuesta 500): " + exception_reason());
      reply.status = 500;
      reply.content_type = "text/plain";
      reply.cache_control = "no-store";
    }
    job.connection->send(std::move(reply));
  }
}

LocalServer::LocalServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LocalServer::~LocalServer() {
  // Workers finish the request in hand (its reply goes nowhere); the I/O thread stops at
  // its next handler; open connections close with the io_context.
  impl_->queue.close();
  impl_->io.stop();
  for (std::thread& worker : impl_->workers) {
    if (worker.joinable()) worker.join();
  }
  if (impl_->io_thread.joinable()) impl_->io_thread.join();
}

morvane::Result<std::unique_ptr<LocalServer>> LocalServer::listen(std::uint16_t port) {
  auto impl = std::make_unique<Impl>();
  error_code ec;
  tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
  impl->acceptor.open(endpoint.protocol(), ec);
  if (!ec) morvane::set_listen_options(static_cast<std::intptr_t>(impl->acceptor.native_handle()));
  if (!ec) impl->acceptor.bind(endpoint, ec);
  if (!ec) impl->acceptor.listen(128, ec);
  if (ec) {
    return morvane::make_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                               ec.message());
  }
  impl->port = impl->acceptor.local_endpoint(ec).port();
  return std::unique_ptr<LocalServer>(new LocalServer(std::move(impl)));
}

void LocalServer::start(Handler handler, BodyGate wants_body, SocketGate opens_socket, int workers,
                        const Log& log, Immediate answers_at_once) {
  impl_->handler = std::move(handler);
  impl_->answers_at_once = std::move(answers_at_once);
  impl_->wants_body = std::move(wants_body);
  impl_->opens_socket = std::move(opens_socket);
  impl_->log = &log;
  Impl* impl = impl_.get();
  impl->accept();
  impl->io_thread = std::thread([impl] {
    morvane::set_current_thread_name("server I/O");
    impl->io.run();
  });
  for (int i = 0; i < workers; ++i) {
    impl->workers.emplace_back([impl] {
      morvane::set_current_thread_name("server worker");
      impl->work_loop();
    });
  }
}

std::uint16_t LocalServer::port() const { return impl_->port; }

}  // namespace vantriel
