// The loopback HTTP/1.1 server. One I/O thread accepts connections and reads complete
// requests; a fixed pool of workers takes them from one queue, runs the handler and hands
// the reply back to the I/O thread. A request whose reply is already in memory (the page,
// its files) is answered on the I/O thread itself, with no hand-over (see Immediate). A connection waiting for its next request therefore
// holds no worker, and at most `workers` requests run at once. A connection may become a
// WebSocket whose messages are handled like requests, one at a time (see SocketGate).
//
// Only processes of the user the host runs as are served (http/peer_owner.h): any other
// connection is closed as it is accepted, without a reply, and is never counted below.
//
// What a client that holds no token can make the server keep is bounded: a body is read
// only when the gate says the request can use it (any other body is dropped unread after
// the reply), a body must arrive whole within kBodyTime of its header, and at most
// kMaxConnections connections are open; a new one beyond that closes the connection that
// has waited longest for its next request.
#ifndef VANTRIEL_HTTP_LOCAL_SERVER_H_
#define VANTRIEL_HTTP_LOCAL_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "base/log.h"
#include "http/http_message.h"
#include "morvane/core/result.h"

namespace vantriel {

inline constexpr std::size_t kMaxConnections = 128;
inline constexpr auto kBodyTime = std::chrono::seconds(10);

class LocalServer {
 public:
  // Called on a worker thread; must not throw (a throw becomes a 500 reply).
  using Handler = std::function<HttpReply(const HttpRequest&)>;
  // Called on the I/O thread with a request whose header is complete and whose body is
  // still empty: whether the body is to be read and handed to the handler. When not, the
  // handler gets the request with an empty body and `body_cut` set, and the connection
  // closes after the reply. Must be cheap and must not throw.
  using BodyGate = std::function<bool(const HttpRequest& head)>;

  // Called on the I/O thread with the head of a WebSocket handshake: whether to accept it.
  // Each message on an accepted socket reaches the handler as a request with
  // `from_socket` set, the handshake's target and the message as its body, one at a time
  // and in order; the reply's body is sent back as a text message. A refused handshake is
  // handled as the plain request it also is. Must be cheap and must not throw.
  using SocketGate = std::function<bool(const HttpRequest& head)>;

  // Called on the I/O thread with each complete request and each socket message: its
  // reply when that can be made at once (from memory, or a short message whose effect
  // waits on nobody), which is then written without a worker; otherwise nothing, and a
  // worker runs the handler as usual. Must be cheap and must not block. A throw sends a
  // request to a worker, but closes a socket: its message may have taken effect in part.
  using Immediate = std::function<std::optional<HttpReply>(const HttpRequest& request)>;

  // Opens a listening socket on 127.0.0.1:`port` (backlog 128). The error says why not.
  static morvane::Result<std::unique_ptr<LocalServer>> listen(std::uint16_t port);

  // Stops the threads and closes every connection.
  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // Starts the I/O thread and `workers` worker threads, which run until the server is
  // destroyed. Refused connections are reported to `log`, which must outlive the server.
  void start(Handler handler, BodyGate wants_body, SocketGate opens_socket, int workers,
             const Log& log, Immediate answers_at_once = {});

  std::uint16_t port() const;

  struct Impl;

 private:
  explicit LocalServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_LOCAL_SERVER_H_
