#include "morvane/core/shell/shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

namespace morvane {
namespace {

// Starts `argv` with the PATH search and reaps it on a thread of its own, so that no
// zombie stays behind. Returns the child's pid, or -1 when it could not be started.
pid_t spawn_detached(std::vector<std::string> args, bool wait_for_exit) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  if (wait_for_exit) {
    int status = 0;
    waitpid(pid, &status, 0);
  } else {
    std::thread([pid] {
      int status = 0;
      waitpid(pid, &status, 0);
    }).detach();
  }
  return pid;
}

bool on_path(const char* program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string dirs(path);
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool shell_open(const std::string& target) {
  return spawn_detached({"xdg-open", target}, false) > 0;
}

void show_message_box(const std::string& caption, const std::string& text) {
  if (std::getenv("DISPLAY")) {
    if (on_path("zenity") &&
        spawn_detached({"zenity", "--info", "--no-wrap", "--title=" + caption, "--text=" + text},
                       true) > 0) {
      return;
    }
    if (on_path("kdialog") &&
        spawn_detached({"kdialog", "--title", caption, "--msgbox", text}, true) > 0) {
      return;
    }
  }
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

bool is_user_an_admin() { return geteuid() == 0; }

// X11 puts no privilege barrier in front of injected input: there is nothing to gain.
bool restart_elevated(const std::string&) { return false; }

void declare_dpi_awareness() {}

}  // namespace morvane
