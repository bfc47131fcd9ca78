// Test support (POSIX): a listening TCP socket on 127.0.0.1 at a port the system picks,
// for tests that play an HTTP server by hand.
#ifndef MORVANE_CORE_WEB_TESTING_LOOPBACK_LISTENER_H_
#define MORVANE_CORE_WEB_TESTING_LOOPBACK_LISTENER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace morvane::testing {

class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    EXPECT_EQ(listen(fd_, 1), 0);
  }
  ~LoopbackListener() { close(fd_); }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Waits for the next connection; the caller closes it. -1 on failure.
  int accept_one() { return accept(fd_, nullptr, nullptr); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace morvane::testing

#endif  // MORVANE_CORE_WEB_TESTING_LOOPBACK_LISTENER_H_
