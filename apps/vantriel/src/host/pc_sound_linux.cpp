// Linux: the PC's sound comes from the browser's PulseAudio loopback (PulseAudio itself or
// PipeWire's pulse server), driven here through pactl. Whatever the host changes in the
// person's sound set-up is undone by a small shell process that waits on a pipe only the
// host holds: when the session ends the host closes it, and when the host ends in any
// other way (a crash, a kill) the system closes it, so the set-up is never left changed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/pc_sound.h"
#include "morvane/core/shell/startup.h"
#include "morvane/core/sync/mutex.h"

extern char** environ;

namespace vantriel {
namespace {

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// Whether a PulseAudio-compatible server answers, without ever starting one: pactl's
// library may start a server of its own when none answers at the usual place.
bool server_answers() {
  const char* server = std::getenv("PULSE_SERVER");
  if (server != nullptr && *server != '\0') {
    return morvane::run_hidden("pactl", {"info"}).exit_code == 0;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return false;
  const std::string path = std::string(runtime) + "/pulse/native";
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

std::optional<std::string> pactl(const std::vector<std::string>& args) {
  morvane::HiddenRun run = morvane::run_hidden("pactl", args);
  if (run.exit_code != 0) return std::nullopt;
  return trimmed(run.output);
}

class LinuxPcSound : public PcSound {
 public:
  ~LinuxPcSound() override { stop_sharing(); }

  bool start_sharing() override {
    morvane::MutexLock lock(mu_);
    if (!server_answers()) return false;
    if (undo_fd_ >= 0) return true;  // already routed for this session
    // Past this point the sound can be shared; a step that fails leaves the set-up as it
    // was and the page's own playback in the capture.
    auto speakers = pactl({"get-default-sink"});
    if (!speakers || speakers->empty() || *speakers == kCaptureSink) return true;
    const auto commands = routing_commands(*speakers);
    auto null_sink = pactl(commands[0]);
    std::optional<unsigned> null_index = null_sink ? parse_module_index(*null_sink) : std::nullopt;
    if (!null_index) return true;
    auto loop = pactl(commands[1]);
    std::optional<unsigned> loop_index = loop ? parse_module_index(*loop) : std::nullopt;
    if (!loop_index || !start_undo(*speakers, *loop_index, *null_index)) {
      if (loop_index) pactl({"unload-module", std::to_string(*loop_index)});
      pactl({"unload-module", std::to_string(*null_index)});
      return true;
    }
    pactl(commands[2]);
    speakers_ = *speakers;
    return true;
  }

  void stop_sharing() override {
    morvane::MutexLock lock(mu_);
    if (undo_fd_ < 0) return;
    close(undo_fd_);
    undo_fd_ = -1;
    // The undo runs three quick pactl calls; waiting keeps the next session's routing
    // from starting before it.
    while (waitpid(undo_pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    undo_pid_ = -1;
  }

  std::vector<std::string> browser_environment() override {
    std::string speakers;
    {
      morvane::MutexLock lock(mu_);
      speakers = speakers_;
    }
    if (!server_answers()) return {};
    auto current = pactl({"get-default-sink"});
    const std::string sink = browser_sink(current.value_or(""), speakers);
    if (sink.empty()) return {};
    return {"PULSE_SINK=" + sink};
  }

 private:
  bool start_undo(const std::string& speakers, unsigned loop, unsigned null_sink) REQUIRES(mu_) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args = {"/bin/sh", "-c", undo_script(), "sh", speakers,
                                     std::to_string(loop), std::to_string(null_sink)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A session of its own: a Ctrl+C or hang-up meant for the host must not end it
    // before it has undone the routing.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[0]);
    if (rc != 0) {
      close(fds[1]);
      return false;
    }
    undo_fd_ = fds[1];
    undo_pid_ = pid;
    return true;
  }

  morvane::Mutex mu_;
  int undo_fd_ GUARDED_BY(mu_) = -1;  // its end starts the undo
  pid_t undo_pid_ GUARDED_BY(mu_) = -1;
  std::string speakers_ GUARDED_BY(mu_);  // the sink the routing loops to
};

}  // namespace

std::vector<std::string> pc_sound_browser_switches() {
  return {
      // The "System Audio" track of a whole-screen share: the default output's monitor.
      "--enable-features=PulseaudioLoopbackForScreenShare",
      // The picker's "also share system audio" box starts ticked, as on Windows.
      "--system-audio-capture-default_checked",
      // WebRTC would otherwise turn the monitor's volume down for the whole system, and
      // leave it there after the browser ends.
      "--disable-features=WebRtcAllowInputVolumeAdjustment",
  };
}

std::unique_ptr<PcSound> make_pc_sound() { return std::make_unique<LinuxPcSound>(); }

}  // namespace vantriel
