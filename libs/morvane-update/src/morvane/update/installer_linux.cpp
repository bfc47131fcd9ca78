// The installer's process and file calls on Linux: rename(2) replaces files in one step;
// a running executable may be renamed, so only EACCES and EBUSY are worth another try
// (EPERM is an immutable or append-only file, which stays so).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>
#include <thread>

#include "morvane/update/installer.h"

namespace morvane {
namespace fs = std::filesystem;
namespace {

std::string error_text(int code) { return std::system_category().message(code); }

// True while |pid| exists and is not a zombie waiting for its parent.
bool process_alive(uint32_t pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  if (paren == std::string::npos || paren + 2 >= text.size()) return !text.empty();
  return text[paren + 2] != 'Z' && text[paren + 2] != 'X';
}

}  // namespace

Status InstallerSystem::rename(const fs::path& from, const fs::path& to, bool* access_denied) {
  if (::rename(from.c_str(), to.c_str()) == 0) return {};
  int code = errno;
  *access_denied = code == EACCES || code == EBUSY;
  return make_error(error_text(code));
}

void InstallerSystem::sleep(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

void InstallerSystem::wait_for_exit(uint32_t pid, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (process_alive(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Double fork: the program is re-parented to init and leads its own session, so neither
// the ending process nor its terminal takes it along. A close-on-exec pipe carries an
// exec failure back.
Status InstallerSystem::start_detached(const fs::path& program,
                                       const std::vector<std::string>& args,
                                       const fs::path& folder) {
  std::string program_text = program.string();
  std::string folder_text = folder.string();
  std::vector<char*> argv;
  argv.push_back(program_text.data());
  std::vector<std::string> copies = args;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return make_error(error_text(errno));
  pid_t child = fork();
  if (child < 0) {
    int code = errno;
    close(fds[0]);
    close(fds[1]);
    return make_error(error_text(code));
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    close(fds[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    // Nothing of this process but the error pipe passes on: an inherited listening
    // socket would keep the port of the ending program taken.
    if (fds[1] > 3) close_range(3, static_cast<unsigned>(fds[1]) - 1, 0);
    close_range(static_cast<unsigned>(fds[1]) + 1, ~0u, 0);
    int code = 0;
    if (chdir(folder_text.c_str()) != 0) {
      code = errno;
    } else {
      int null_fd = open("/dev/null", O_RDONLY);
      if (null_fd >= 0) {
        dup2(null_fd, 0);
        if (null_fd != 0) close(null_fd);
      }
      execv(argv[0], argv.data());
      code = errno;
    }
    ssize_t ignored = write(fds[1], &code, sizeof code);
    (void)ignored;
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  waitpid(child, &status, 0);
  int code = 0;
  ssize_t got;
  do {
    got = read(fds[0], &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  close(fds[0]);
  if (got == static_cast<ssize_t>(sizeof code)) return make_error(error_text(code));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return make_error(error_text(EAGAIN));
  return {};
}

std::string InstallerSystem::local_time_text() {
  time_t now = time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

namespace internal {

uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }

}  // namespace internal
}  // namespace morvane
