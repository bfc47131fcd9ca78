#include "morvane/core/shell/devtools_pipe_linux.h"
#include "morvane/core/sync/mutex.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace morvane {
namespace {

// A browser's answers are small (a target list, a window's bounds); a message beyond this
// is no answer of this pipe's, and the pipe is given up rather than grown without end.
constexpr std::size_t kMaxMessage = 4 * 1024 * 1024;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string errno_text(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::optional<std::string> take_devtools_message(std::string& pending) {
  const std::size_t end = pending.find('\0');
  if (end == std::string::npos) return std::nullopt;
  std::string message = pending.substr(0, end);
  pending.erase(0, end + 1);
  return message;
}

Result<std::unique_ptr<DevToolsPipe>> DevToolsPipe::open() {
  int commands[2];
  int answers[2];
  if (pipe2(commands, O_CLOEXEC) != 0) return make_error(errno_text("pipe"));
  if (pipe2(answers, O_CLOEXEC) != 0) {
    const std::string why = errno_text("pipe");
    ::close(commands[0]);
    ::close(commands[1]);
    return make_error(why);
  }
  std::unique_ptr<DevToolsPipe> p(new DevToolsPipe());
  p->browser_reads_ = commands[0];
  p->to_browser_ = commands[1];
  p->from_browser_ = answers[0];
  p->browser_writes_ = answers[1];
  return Result<std::unique_ptr<DevToolsPipe>>(std::move(p));
}

DevToolsPipe::~DevToolsPipe() {
  close_browser_ends();
  close_fd(to_browser_);
  close_fd(from_browser_);
}

void DevToolsPipe::close_browser_ends() {
  close_fd(browser_reads_);
  close_fd(browser_writes_);
}

Result<std::string> DevToolsPipe::call(std::string_view method,
                                                          std::string_view params,
                                                          std::chrono::milliseconds timeout) {
  morvane::MutexLock lock(mu_);
  if (!broken_.empty()) return make_error(broken_);
  const int id = next_id_++;
  std::string command = "{\"id\":" + std::to_string(id) + ",\"method\":" +
                        nlohmann::json(std::string(method)).dump() + ",\"params\":" +
                        std::string(params.empty() ? "{}" : params) + "}";
  command.push_back('\0');
  // A browser that went away must not end this process with SIGPIPE: MSG_NOSIGNAL is for
  // sockets only, so the signal is blocked for this thread while writing.
  sigset_t pipe_signal, previous;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  std::size_t written = 0;
  while (written < command.size()) {
    const ssize_t n = ::write(to_browser_, command.data() + written, command.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken_ = "the browser no longer reads its DevTools pipe";
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  // A SIGPIPE raised by the failed write is taken here, before the mask is restored.
  timespec zero{};
  while (sigtimedwait(&pipe_signal, nullptr, &zero) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!broken_.empty()) return make_error(broken_);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    while (auto text = take_devtools_message(pending_)) {
      const auto message = nlohmann::json::parse(*text, nullptr, false);
      if (!message.is_object()) continue;
      const auto it = message.find("id");
      if (it == message.end() || !it->is_number_integer() || it->get<int>() != id) continue;
      if (auto error = message.find("error"); error != message.end()) {
        const auto text_it = error->find("message");
        return make_error(text_it != error->end() && text_it->is_string()
                                   ? text_it->get<std::string>()
                                   : std::string("the browser refused ") + std::string(method));
      }
      const auto result = message.find("result");
      return Result<std::string>(result != message.end() ? result->dump() : std::string("{}"));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    // A late answer is skipped by the next call, which waits for its own id.
    if (left.count() <= 0) return make_error("the browser did not answer " + std::string(method) + " in time");
    pollfd p{from_browser_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline is checked above
    char buffer[16384];
    const ssize_t n = ::read(from_browser_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken_ = "the browser closed its DevTools pipe";
      return make_error(broken_);
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    if (pending_.size() > kMaxMessage) {
      broken_ = "the browser's DevTools answer is too long";
      return make_error(broken_);
    }
  }
}

}  // namespace morvane
