// A small blocking WebSocket and HTTP client for the wire tests, on Beast. Every call
// waits at most its time-out, so a test can fail but never hang.
#ifndef VANTRIEL_SIGNAL_WIRE_CLIENT_H_
#define VANTRIEL_SIGNAL_WIRE_CLIENT_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantriel::signal::wire {

using Headers = std::vector<std::pair<std::string, std::string>>;
using std::chrono::milliseconds;

struct HttpReply {
  int status = 0;  // 0: no reply
  std::string body;
  Headers headers;
  std::string header(const std::string& name) const;
};

HttpReply http_get(int port, const std::string& target, const Headers& headers = {});
// The same request as HEAD: the reply's headers, and no body read.
HttpReply http_head(int port, const std::string& target, const Headers& headers = {});

class WsClient {
 public:
  WsClient();
  ~WsClient();
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  // Opens ws://127.0.0.1:port/path. False when the upgrade failed; `status()` then
  // holds the server's HTTP status, if it answered.
  bool connect(int port, const std::string& path, const Headers& headers = {});
  int status() const;

  void send(const std::string& text);
  void send_binary(const std::string& bytes);
  // The next text frame, or nothing when the connection closed or `timeout` passed.
  std::optional<std::string> recv(milliseconds timeout = milliseconds(5000));
  // True when the server closes the connection within `timeout`; frames still
  // arriving first are skipped.
  bool wait_closed(milliseconds timeout = milliseconds(5000));
  bool is_closed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A plain TCP connection from a chosen loopback address, for what a well-behaved
// client never does: stay silent, send control frames, stop reading. Blocking, with
// every call bounded by its time-out.
class RawConn {
 public:
  RawConn(int port, const std::string& from = "127.0.0.1");
  ~RawConn();
  RawConn(const RawConn&) = delete;
  RawConn& operator=(const RawConn&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Sends an upgrade request for `path` and reads the reply's head; its status, or 0.
  int upgrade(const std::string& path);
  // Writes all of `bytes`; false once the connection is gone or stalls for 5 s.
  bool write(const std::string& bytes);
  // Reads what arrives (kept in received()); true once the server has closed the
  // connection.
  bool wait_eof(milliseconds timeout);
  bool closed() const { return eof_; }
  const std::string& received() const { return received_; }

 private:
  int fd_ = -1;
  bool eof_ = false;
  std::string received_;
};

// One masked client frame with the FIN bit, as a client must send it.
std::string client_frame(int opcode, const std::string& payload);

// Resident memory of a process in bytes, from /proc; 0 when unknown.
size_t resident_bytes(int pid);

}  // namespace vantriel::signal::wire

#endif  // VANTRIEL_SIGNAL_WIRE_CLIENT_H_
