#include "morvane/core/shell/shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "morvane/core/shell/spawn_linux.h"

extern char** environ;

namespace morvane {
namespace {

// Starts `args` with the PATH search and waits for it to end. Returns whether it started.
bool run_and_wait(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
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
  return spawn_unowned("xdg-open", {target}, true) == 0;
}

void show_message_box(const std::string& caption, const std::string& text) {
  if (std::getenv("DISPLAY")) {
    if (on_path("zenity") &&
        run_and_wait({"zenity", "--info", "--no-wrap", "--title=" + caption, "--text=" + text})) {
      return;
    }
    if (on_path("kdialog") && run_and_wait({"kdialog", "--title", caption, "--msgbox", text})) {
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
