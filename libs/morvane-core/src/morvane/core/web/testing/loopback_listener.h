// Test support: a listening TCP socket on 127.0.0.1 at a port the system picks, for tests
// that play an HTTP server by hand, and the few socket calls they make on a connection.
// Builds with BSD sockets and with Winsock, so the WinHTTP client meets the same tests.
#ifndef MORVANE_CORE_WEB_TESTING_LOOPBACK_LISTENER_H_
#define MORVANE_CORE_WEB_TESTING_LOOPBACK_LISTENER_H_

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace morvane::testing {

#ifdef _WIN32
using Socket = SOCKET;
inline constexpr Socket kNoSocket = INVALID_SOCKET;
inline void close_socket(Socket s) { ::closesocket(s); }
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
inline void close_socket(Socket s) { ::close(s); }
#endif

// Bytes read, 0 at the peer's end, negative on error.
inline long recv_some(Socket s, char* buf, std::size_t size) {
  return static_cast<long>(::recv(s, buf, static_cast<int>(size), 0));
}

// False when the peer stopped reading before everything was sent.
inline bool send_all(Socket s, std::string_view bytes) {
#ifdef _WIN32
  constexpr int kFlags = 0;
#else
  constexpr int kFlags = MSG_NOSIGNAL;
#endif
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - at, 1u << 20);
    const auto n = ::send(s, bytes.data() + at, static_cast<int>(chunk), kFlags);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

class LoopbackListener {
 public:
  LoopbackListener() {
#ifdef _WIN32
    WSADATA wsa;
    EXPECT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
#endif
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
#ifdef _WIN32
    int len = sizeof addr;
#else
    socklen_t len = sizeof addr;
#endif
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    EXPECT_EQ(::listen(fd_, 1), 0);
  }
  ~LoopbackListener() {
    close_socket(fd_);
#ifdef _WIN32
    ::WSACleanup();
#endif
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Waits for the next connection; the caller closes it. kNoSocket on failure.
  Socket accept_one() { return ::accept(fd_, nullptr, nullptr); }

 private:
  Socket fd_ = kNoSocket;
  uint16_t port_ = 0;
};

}  // namespace morvane::testing

#endif  // MORVANE_CORE_WEB_TESTING_LOOPBACK_LISTENER_H_
