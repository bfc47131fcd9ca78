// vantriel-signal-health: the container image's health check. The image has no shell and
// no HTTP client, so this asks the server in the same container for GET /health on the
// address and port that its own VTR_SIGNAL_HOST and VTR_SIGNAL_PORT name, and exits 0
// only when a vantriel-signal answers 200. One line on standard output says what it
// found; the container engine keeps it in the health log.
//
// Everything is bounded by one deadline, so a server that accepts and never answers is
// unhealthy, not a check that hangs.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(3);
constexpr size_t kMaxResponse = 16 * 1024;  // /health answers with a few dozen bytes

int fail(const std::string& why) {
  std::printf("unhealthy: %s\n", why.c_str());
  return 1;
}

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

// The server listens on its VTR_SIGNAL_HOST; a wildcard is reached on loopback.
std::string address_to_ask(std::string host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host == "0.0.0.0") return "127.0.0.1";
  if (host == "::" || host == "::0") return "::1";
  return host;
}

int millis_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool wait_for(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, millis_left(deadline));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// A non-blocking connect to one address, finished within the deadline; -1 when refused.
int connect_by(const addrinfo* a, Clock::time_point deadline, std::string& error) {
  const int fd =
      ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
  if (errno == EINPROGRESS && wait_for(fd, POLLOUT, deadline)) {
    int so_error = 0;
    socklen_t len = sizeof so_error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error == 0) return fd;
    error = std::strerror(so_error);
  } else {
    error = errno == EINPROGRESS ? "no answer in time" : std::strerror(errno);
  }
  ::close(fd);
  return -1;
}

}  // namespace

int main() {
  const auto deadline = Clock::now() + kDeadline;
  const std::string host = address_to_ask(env_or("VTR_SIGNAL_HOST", "127.0.0.1"));
  const std::string port_text = env_or("VTR_SIGNAL_PORT", "8890");
  int port = 0;
  const char* end = port_text.data() + port_text.size();
  auto [p, ec] = std::from_chars(port_text.data(), end, port);
  if (ec != std::errc() || p != end || port < 1 || port > 65535) {
    return fail("VTR_SIGNAL_PORT \"" + port_text + "\" is not a port this check can ask");
  }
  const std::string place =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port_text;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), port_text.c_str(), &hints, &found); rc != 0) {
    return fail(place + ": " + ::gai_strerror(rc));
  }
  int fd = -1;
  std::string error = "no address";
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = connect_by(a, deadline, error);
  }
  ::freeaddrinfo(found);
  if (fd < 0) return fail(place + ": " + error);

  const std::string request =
      "GET /health HTTP/1.1\r\nHost: " + place + "\r\nConnection: close\r\n\r\n";
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!wait_for(fd, POLLOUT, deadline)) break;
    } else {
      break;
    }
  }
  std::string response;
  char buf[4096];
  while (sent == request.size() && response.size() < kMaxResponse) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      response.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!wait_for(fd, POLLIN, deadline)) break;
    } else {
      break;  // the server closed: the whole answer is here
    }
  }
  ::close(fd);
  if (sent < request.size()) return fail(place + ": the request could not be sent");

  const size_t line_end = response.find("\r\n");
  const std::string status = response.substr(0, line_end);
  if (status.rfind("HTTP/1.1 200 ", 0) != 0 && status != "HTTP/1.1 200") {
    return fail(place + ": " + (status.empty() ? "no answer in time" : "\"" + status + "\""));
  }
  const size_t body_at = response.find("\r\n\r\n");
  const std::string body = body_at == std::string::npos ? "" : response.substr(body_at + 4);
  if (body.find("\"app\":\"vantriel\"") == std::string::npos) {
    return fail(place + ": what answers there is not vantriel-signal");
  }
  std::printf("healthy: %s %s\n", place.c_str(), body.c_str());
  return 0;
}
