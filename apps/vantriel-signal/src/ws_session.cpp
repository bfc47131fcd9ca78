#include "ws_session.h"

#include <algorithm>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include "hub.h"
#include "server_state.h"

namespace vantriel::signal {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using std::chrono::seconds;

namespace {

constexpr auto kCloseTimeout = seconds(10);  // for the closing handshake

// The waits an idle connection keeps (for its next bytes, for its idle time-out) are
// allocated at their own size: Asio reuses its cached blocks for any smaller operation,
// and those are sized for the largest, a WebSocket read, which each idle connection would
// then keep twice.
template <class T>
struct ExactAllocator {
  using value_type = T;
  ExactAllocator() = default;
  template <class U>
  ExactAllocator(const ExactAllocator<U>&) {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) { std::allocator<T>().deallocate(p, n); }
  template <class U>
  bool operator==(const ExactAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const ExactAllocator<U>&) const { return false; }
};

template <class F>
struct ExactlyAllocated {
  F f;
  using allocator_type = ExactAllocator<void>;
  allocator_type get_allocator() const { return {}; }
  void operator()(beast::error_code ec) { f(ec); }
};
template <class F>
ExactlyAllocated<F> exactly_allocated(F f) {
  return {std::move(f)};
}

}  // namespace

WsSession::WsSession(boost::asio::ip::tcp::socket socket, ServerState& state, Slot slot)
    : ws_(std::move(socket), state.flusher),
      state_(state),
      slot_(std::move(slot)),
      tokens_(state.config.policy.msg_burst),
      refilled_(state.env.now()) {}

WsSession::~WsSession() { IdleWatch::forget(*this); }

void WsSession::start(http::request<http::empty_body> req, Kind kind, std::string target,
                      bool own_page) {
  websocket::stream_base::timeout t{};
  t.handshake_timeout = kCloseTimeout;  // the upgrade reply is only queued; the close waits
  // Silence is watched by the server's one IdleWatch rather than by Beast, whose idle
  // timer is re-armed on every read (a timer operation per frame and a wait per socket).
  t.idle_timeout = websocket::stream_base::none();
  t.keep_alive_pings = false;  // pages ping us; a silent socket is a dead one
  ws_.set_option(t);
  // Control frames are no sign of life: pages send "ping" messages, and pings alone
  // would keep a socket open for ever. Each costs a pong or a wake-up all the same, so
  // they spend the message allowance.
  ws_.control_callback([this](websocket::frame_type frame, beast::string_view) {
    if (frame != websocket::frame_type::close && !closing_ && !within_rate()) over_rate();
  });
  ws_.read_message_max(static_cast<size_t>(state_.config.policy.max_frame));
  ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
    res.set(http::field::server, "vantriel-signal");
  }));
  ws_.next_layer().set_owner(this);
  ws_.async_accept(req, [self = shared_from_this(), kind, target = std::move(target),
                         own_page](beast::error_code ec) {
    self->on_accept(ec, kind, target, own_page);
  });
}

void WsSession::on_accept(beast::error_code ec, Kind kind, const std::string& target,
                          bool own_page) {
  if (ec) {
    finish();
    return;
  }
  opened_ = true;
  state_.idle.heard(*this, state_.env.now());
  auto self = shared_from_this();
  switch (kind) {
    case Kind::kHost:
      state_.hub.open_host(self, target);
      break;
    case Kind::kJoin:
      state_.hub.open_join(self, target, own_page);
      break;
    case Kind::kCall:
      state_.hub.open_call(self, target);
      break;
  }
  read();
}

std::shared_ptr<void> WsSession::hold() { return weak_from_this().lock(); }

void WsSession::overflowed() {
  // The client does not read what it is sent; keeping it costs memory without end.
  state_.env.log("connection from " + address() + " closed: not reading");
  state_.counters.closed(SocketLimit::kNotReading);
  closing_ = true;
}

void WsSession::idle_expired() {
  if (finished_) return;
  state_.env.log("connection from " + address() + " closed: idle");
  state_.counters.closed(SocketLimit::kIdle);
  beast::error_code ignored;
  ws_.next_layer().next_layer().close(ignored);  // the pending read or wait ends with an error
}

void WsSession::read() {
  ws_.async_read(buffers_[reading_],
                 beast::bind_front_handler(&WsSession::on_read, shared_from_this()));
}

void WsSession::await_data() {
  if (closing_ || finished_) {
    read();  // the closing handshake reads as before
    return;
  }
  // Bytes already in the kernel (Beast reads at most its buffer's size at a time) raise
  // no new readiness event: read them now.
  auto& socket = ws_.next_layer().next_layer();
  beast::error_code ec;
  if (socket.available(ec) > 0 || ec) {
    read();
    return;
  }
  awaiting_data_ = true;
  socket.async_wait(
      net::socket_base::wait_read,
      exactly_allocated([self = shared_from_this()](beast::error_code) {
        // An error (the socket closed) comes out of the read too.
        if (!self->awaiting_data_) return;
        self->awaiting_data_ = false;
        self->read();
      }));
}

bool WsSession::within_rate() {
  const auto now = state_.env.now();
  const double elapsed = std::chrono::duration<double>(now - refilled_).count();
  refilled_ = now;
  const Policy& p = state_.config.policy;
  tokens_ = std::min<double>(p.msg_burst, tokens_ + elapsed * p.msg_rate);
  if (tokens_ >= 1) {
    tokens_ -= 1;
    return true;
  }
  return false;
}

void WsSession::on_read(beast::error_code ec, size_t) {
  if (served_from_buffer_) {
    served_from_buffer_ = false;
    state_.flusher.frames_waiting(-1);
  }
  if (ec) {
    if (ec == websocket::error::message_too_big) {
      state_.env.log("connection from " + address() + " closed: message too big");
      state_.counters.closed(SocketLimit::kMessageSize);
    }
    finish();
    return;
  }
  state_.idle.heard(*this, state_.env.now());
  ReadBuffer& frame = buffers_[reading_];
  const bool text = ws_.got_text();
  if (ws_.next_layer().drained(++messages_read_)) {
    // Nothing else from the client has arrived: the common case of an idle connection.
    handle(frame, text);
    frame.release();
    await_data();
    return;
  }
  reading_ ^= 1;
  const size_t reads = ws_.next_layer().reads();
  read();
  if (ws_.next_layer().reads() == reads) {
    served_from_buffer_ = true;
    state_.flusher.frames_waiting(+1);
  }
  handle(frame, text);
  if (served_from_buffer_) {
    frame.consume(frame.size());  // more frames are here: the storage serves them next
  } else {
    frame.release();  // the connection waits: hold nothing for it
  }
}

void WsSession::over_rate() {
  // More than one second's worth of messages dropped within a second: a flood, not a
  // burst.
  const auto now = state_.env.now();
  if (now - drop_window_ > seconds(1)) {
    drop_window_ = now;
    dropped_ = 0;
  }
  if (++dropped_ <= state_.config.policy.msg_rate || closing_) return;
  state_.env.log("connection from " + address() + " closed: too many messages");
  state_.counters.closed(SocketLimit::kRate);
  closing_ = true;
  ws_.next_layer().discard_queued();
  // Posted: a control frame is counted inside Beast's read, which must finish first.
  net::post(ws_.get_executor(), [self = shared_from_this()] {
    self->do_close(websocket::close_code::policy_error);
  });
}

void WsSession::handle(const ReadBuffer& frame, bool text) {
  if (closing_) return;
  ++state_.counters.frames_received;
  state_.counters.bytes_received += frame.size();
  if (!within_rate()) {
    over_rate();
    return;
  }
  if (!text) return;
  const auto data = frame.cdata();
  state_.hub.receive(this, std::string_view(static_cast<const char*>(data.data()), data.size()));
}

void WsSession::send(std::string text) {
  if (closing_ || finished_) return;
  ws_.next_layer().append_text(text);
}

void WsSession::close() {
  if (closing_ || finished_) return;
  closing_ = true;
  do_close(websocket::close_code::normal);
}

void WsSession::do_close(websocket::close_code code) {
  if (close_sent_ || finished_) return;
  close_sent_ = true;
  if (awaiting_data_) {
    // Beast's closing handshake expects the read in progress to take the client's close.
    awaiting_data_ = false;
    read();
  }
  ws_.async_close(code, [self = shared_from_this()](beast::error_code) {});
}

void WsSession::finish() {
  if (finished_) return;
  finished_ = true;
  IdleWatch::forget(*this);
  if (opened_) state_.hub.closed(this);
  slot_.release();
}

}  // namespace vantriel::signal
