// One WebSocket connection on "/host/<id>", "/join/<id>" or "/call/<code>": the Link
// through which the hub talks to one page. It reads whole messages of at most the
// configured size, rations messages and control frames (a flood closes the socket),
// closes a socket silent for the idle time-out, and writes through a QueuedSocket, whose
// cap drops a client that does not read. Owned by its pending operations and, while
// registered, by the hub. Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_WS_SESSION_H_
#define VANTRIEL_SIGNAL_WS_SESSION_H_

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "conn_limits.h"
#include "idle_watch.h"
#include "link.h"
#include "queued_socket.h"
#include "read_buffer.h"

namespace vantriel::signal {

struct ServerState;

class WsSession : public Link,
                  public IdleWatch::Member,
                  public QueuedSocket::Owner,
                  public std::enable_shared_from_this<WsSession> {
 public:
  enum class Kind { kHost, kJoin, kCall };

  WsSession(boost::asio::ip::tcp::socket socket, ServerState& state, Slot slot);
  ~WsSession() override;
  // Answers the upgrade `req`, then hands the link to the hub as a `kind` socket of
  // `target` (an ID or a room code). `own_page`: a join from the server's own page for
  // browsers (web_page.h).
  void start(boost::beast::http::request<boost::beast::http::empty_body> req, Kind kind,
             std::string target, bool own_page = false);

  void send(std::string text) override;
  void close() override;
  const std::string& address() const override { return slot_.address(); }

 private:
  void on_accept(boost::beast::error_code ec, Kind kind, const std::string& target,
                 bool own_page);
  void read();
  // Waits for the client's next bytes holding no read (and no buffer), then reads.
  void await_data();
  void on_read(boost::beast::error_code ec, size_t bytes);
  void handle(const ReadBuffer& frame, bool text);
  // Silent for the idle time-out (the server's IdleWatch tells): the socket closes.
  void idle_expired() override;
  std::shared_ptr<void> hold() override;
  // The client does not read what it is sent: the socket closes.
  void overflowed() override;
  bool within_rate();
  // A message or control frame beyond the rate: dropped, and a flood closes the socket.
  void over_rate();
  void do_close(boost::beast::websocket::close_code code);
  void finish();

  // Not on beast::tcp_stream: the WebSocket layer keeps its own handshake timer, and a
  // second timer per operation would only cost time on every frame.
  // Without permessage-deflate, which pages do not ask for: its state is not kept.
  boost::beast::websocket::stream<QueuedSocket, false> ws_;
  ServerState& state_;
  // What the hub needs of the upgrade (kind, target) lives in the accept's handler only:
  // most sessions are idle hosts, and every byte here is kept by each of them.
  Slot slot_;
  // Two buffers: the next frame is read into one while the other's is handled, so frames
  // that arrived together are handled before the round's flush and leave together. A
  // handled buffer keeps no storage when the next read waits on the socket.
  ReadBuffer buffers_[2];
  uint64_t messages_read_ = 0;
  double tokens_;
  std::chrono::steady_clock::time_point refilled_;
  std::chrono::steady_clock::time_point drop_window_{};
  int dropped_ = 0;  // messages dropped since drop_window_
  uint8_t reading_ = 0;  // the buffer the read in progress fills
  bool served_from_buffer_ = false;  // the read in progress needs no bytes from the socket
  bool awaiting_data_ = false;  // await_data() waits and no read has started since
  bool closing_ = false;       // close() called: send what is queued, then close
  bool close_sent_ = false;
  bool opened_ = false;        // the hub knows this link
  bool finished_ = false;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_WS_SESSION_H_
