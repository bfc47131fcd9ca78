// The loopback HTTP/1.1 server. One I/O thread accepts connections and reads complete
// requests; a fixed pool of workers takes them from one queue, runs the handler and hands
// the reply back to the I/O thread. A connection waiting for its next request therefore
// holds no worker, and at most `workers` requests run at once.
#ifndef VANTRIEL_HTTP_LOCAL_SERVER_H_
#define VANTRIEL_HTTP_LOCAL_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "base/result.h"
#include "http/http_message.h"

namespace vantriel {

class LocalServer {
 public:
  // Called on a worker thread; must not throw (a throw becomes a 500 reply).
  using Handler = std::function<HttpReply(const HttpRequest&)>;

  // Opens a listening socket on 127.0.0.1:`port` (backlog 128). The error says why not.
  static morvane::Result<std::unique_ptr<LocalServer>> listen(std::uint16_t port);

  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // Starts the I/O thread and `workers` worker threads. The threads run until the process
  // ends; the server is never stopped.
  void start(Handler handler, int workers);

  std::uint16_t port() const;

  struct Impl;

 private:
  explicit LocalServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_LOCAL_SERVER_H_
