// The TCP socket under a WebSocket stream. Every byte written to the client goes
// through one queue in order: the frames we build ourselves (append_text) and whatever
// Beast writes (the handshake reply, pongs, the close frame). Beast's writes complete
// as soon as they are queued, as if into a larger kernel buffer. Every queued byte
// counts toward kMaxQueuedBytes: past it the client is not reading what it is sent, so
// the queue is dropped and the connection closed. The Flusher sends what is queued once
// per round of the I/O loop. Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_QUEUED_SOCKET_H_
#define VANTRIEL_SIGNAL_QUEUED_SOCKET_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace vantriel::signal {

class Flusher;

class QueuedSocket {
 public:
  using executor_type = boost::asio::ip::tcp::socket::executor_type;
  using next_layer_type = boost::asio::ip::tcp::socket;
  using lowest_layer_type = boost::asio::ip::tcp::socket;

  // Unsent bytes before a reader is dropped.
  static constexpr size_t kMaxQueuedBytes = 4 << 20;

  // The connection this socket belongs to. One pointer to it rather than a weak pointer
  // and a callback: every idle connection keeps this socket.
  class Owner {
   public:
    // The owner, held by a write in flight; empty once the owner is going away.
    virtual std::shared_ptr<void> hold() = 0;
    // Runs once when the queue passes its cap, before the connection is closed.
    virtual void overflowed() = 0;

   protected:
    ~Owner() = default;
  };

  // `flusher` outlives this.
  QueuedSocket(boost::asio::ip::tcp::socket socket, Flusher& flusher)
      : socket_(std::move(socket)), flusher_(flusher) {}

  // `owner` keeps this socket, so it outlives it; nothing is sent before it is set.
  void set_owner(Owner* owner) { owner_ = owner; }

  executor_type get_executor() noexcept { return socket_.get_executor(); }
  boost::asio::ip::tcp::socket& next_layer() { return socket_; }
  boost::asio::ip::tcp::socket& lowest_layer() { return socket_; }

  template <class Buffers, class Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    ++reads_;
    socket_.async_read_some(
        buffers, [this, buffers, h = std::forward<Handler>(handler)](
                     boost::beast::error_code ec, size_t n) mutable {
          if (!ec) {
            size_t left = n;
            for (auto it = boost::asio::buffer_sequence_begin(buffers);
                 left > 0 && it != boost::asio::buffer_sequence_end(buffers); ++it) {
              const boost::asio::const_buffer piece(*it);
              const size_t k = std::min(left, piece.size());
              follow(static_cast<const unsigned char*>(piece.data()), k);
              left -= k;
            }
          }
          h(ec, n);
        });
  }
  // How many reads Beast has asked of the socket: unchanged across a WebSocket read
  // means that read is served from bytes already received.
  size_t reads() const { return reads_; }
  // Beast holds nothing of what was read from the client: every frame received so far
  // was whole, the last one ended a message, and Beast has handed over all `messages`
  // messages those frames made. Then the next message needs bytes from the socket.
  bool drained(uint64_t messages) const {
    return messages == messages_ && offset_ == message_end_;
  }

  template <class Buffers, class Handler>
  auto async_write_some(const Buffers& buffers, Handler&& handler) {
    namespace net = boost::asio;
    return net::async_initiate<Handler, void(boost::beast::error_code, size_t)>(
        [this](auto h, const Buffers& b) {
          size_t n = 0;
          if (!error_) {
            for (auto it = net::buffer_sequence_begin(b); it != net::buffer_sequence_end(b);
                 ++it) {
              const net::const_buffer piece(*it);
              if (n == 0 && piece.size() > 0 && is_close_frame_start(piece)) close_queued_ = true;
              queued_.append(static_cast<const char*>(piece.data()), piece.size());
              n += piece.size();
            }
            after_append();
          }
          const boost::beast::error_code ec = error_;
          if (ec) n = 0;
          auto ex = net::get_associated_executor(h, socket_.get_executor());
          net::post(ex, boost::beast::bind_front_handler(std::move(h), ec, n));
        },
        handler, buffers);
  }

  // Queues one unmasked, unfragmented text frame; none once the close frame is queued.
  void append_text(std::string_view payload);

  // Bytes queued or being sent.
  size_t unsent() const { return queued_.size() + sending_.size(); }
  // Drops the frames not yet handed to the kernel; a frame being sent still finishes.
  void discard_queued() { queued_.clear(); }

  // Runs `done` once everything queued has been sent or sending failed; at once when
  // nothing waits.
  void when_sent(std::function<void()> done);

  // Called by the Flusher: hands what is queued to the kernel; `keep` holds the owner
  // until the write ends.
  void start_write(std::shared_ptr<void> keep);

 private:
  // Beast writes each frame it sends by itself (pong, close) in one write; a write that
  // starts with FIN and the close opcode is the close frame. After it nothing may follow
  // (a browser fails the socket on a data frame after the close), whichever side began the
  // closing handshake and whether Beast answered a peer's close or failed a bad frame.
  static bool is_close_frame_start(const boost::asio::const_buffer& piece) {
    return static_cast<unsigned char>(*static_cast<const char*>(piece.data())) == 0x88;
  }

  void after_append();
  void schedule();
  // Follows the frames through the bytes read, counting the messages they end.
  void follow(const unsigned char* p, size_t n);

  boost::asio::ip::tcp::socket socket_;
  Flusher& flusher_;
  Owner* owner_ = nullptr;
  std::string queued_;   // not yet handed to the kernel
  std::string sending_;  // handed over by the write in flight
  size_t reads_ = 0;
  // The incoming frames as follow() has seen them.
  uint64_t offset_ = 0;       // bytes read from the client
  uint64_t message_end_ = 0;  // where the last message's final frame ended
  uint64_t messages_ = 0;     // messages whose final frame was read whole
  uint64_t payload_left_ = 0; // of the frame being read
  boost::beast::error_code error_;
  std::vector<std::function<void()>> waiting_;
  unsigned char header_[14];
  uint8_t header_len_ = 0;    // header bytes of the next frame read so far
  bool ends_message_ = false; // the frame being read is a data frame with FIN
  bool in_flight_ = false;
  bool scheduled_ = false;
  bool close_queued_ = false;  // the close frame is queued: no text frame may follow it
};

// Beast closes a WebSocket connection through this (found by argument lookup). The close
// frame and anything queued before it must reach the client before the TCP connection is
// shut down.
template <class Handler>
void async_teardown(boost::beast::role_type role, QueuedSocket& socket, Handler&& handler) {
  auto held = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
  socket.when_sent([role, &socket, held] {
    boost::beast::websocket::async_teardown(role, socket.next_layer(), std::move(*held));
  });
}

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_QUEUED_SOCKET_H_
