#include "morvane/core/shell/spawn_linux.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

extern char** environ;

namespace morvane {

int spawn_unowned(const std::string& program, const std::vector<std::string>& arguments,
                  bool search_path, const std::vector<std::string>& environment,
                  const std::vector<int>& pass) {
  // Everything the child needs is made before fork(): a forked copy of a threaded process
  // may only make async-signal-safe calls until it execs or exits.
  std::vector<std::string> args;
  args.reserve(arguments.size() + 1);
  args.push_back(program);
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_entries = environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('=') + 1);
    const bool replaced = std::any_of(environment.begin(), environment.end(),
                                      [&](const std::string& x) { return x.starts_with(name); });
    if (!replaced) env_entries.emplace_back(entry);
  }
  std::vector<char*> envp;
  for (auto& e : env_entries) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  // Like a program started from the desktop, it writes into no terminal of ours: a
  // browser's log lines have no reader here.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // What is passed goes first to numbers above every passed one, so no dup2 below
  // overwrites a descriptor still to be passed; then to 3, 4, ... (dup2 clears
  // close-on-exec).
  const int above = 3 + static_cast<int>(pass.size()) +
                    (pass.empty() ? 0 : *std::max_element(pass.begin(), pass.end()));
  for (std::size_t i = 0; i < pass.size(); ++i) {
    posix_spawn_file_actions_adddup2(&actions, pass[i], above + static_cast<int>(i));
  }
  for (std::size_t i = 0; i < pass.size(); ++i) {
    posix_spawn_file_actions_adddup2(&actions, above + static_cast<int>(i), 3 + static_cast<int>(i));
  }
  // The host's sockets and files are not the browser's to keep open after the host ends.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3 + static_cast<int>(pass.size()));
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  int result = 0;
  const pid_t child = fork();
  if (child == 0) {
    // The short-lived child: glibc's posix_spawn reports a failed exec as its result, and
    // the exit code carries it to the parent.
    pid_t grandchild = 0;
    int rc = search_path ? posix_spawnp(&grandchild, argv[0], &actions, &attr, argv.data(), envp.data())
                         : posix_spawn(&grandchild, argv[0], &actions, &attr, argv.data(), envp.data());
    _exit(rc > 0 && rc < 256 ? rc : (rc == 0 ? 0 : EIO));
  }
  if (child < 0) {
    result = errno;
  } else {
    int status = 0;
    pid_t waited;
    do {
      waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
      result = errno;
    } else if (WIFEXITED(status)) {
      result = WEXITSTATUS(status);
    } else {
      result = EIO;
    }
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

}  // namespace morvane
