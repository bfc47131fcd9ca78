// Starts a private Xvfb for a test process and points DISPLAY at it.
#ifndef VANTRIEL_TESTS_DESKTOP_XVFB_SERVER_H_
#define VANTRIEL_TESTS_DESKTOP_XVFB_SERVER_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vantriel::testing {

class XvfbServer {
 public:
  // Starts Xvfb with one screen of `geometry` ("3840x1080x24"); display() is empty when
  // it could not be started within 20 seconds.
  explicit XvfbServer(const std::string& geometry) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 2);
      // -noreset: the server resets when its last client leaves, and a test that connects
      // during the reset finds no display.
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", geometry.c_str(),
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&p, 1, 20000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }

  ~XvfbServer() { stop(); }

  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace vantriel::testing

#endif  // VANTRIEL_TESTS_DESKTOP_XVFB_SERVER_H_
