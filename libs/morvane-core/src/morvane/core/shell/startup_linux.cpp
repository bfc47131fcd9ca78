// Start at log-on on Linux: an XDG autostart desktop file in the user's autostart folder.
// The file is the state: its presence (and no Hidden=true or disabled GNOME switch in it)
// means on.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include "morvane/core/shell/startup.h"
#include "morvane/core/text/ascii.h"

extern char** environ;

namespace morvane {
namespace {

// A captured stream beyond this is read and dropped: the user sees 200 characters of it.
constexpr std::size_t kMaxCapture = 1 << 20;

// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = b(i);
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (lead < 0x80) {
      len = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      if (lead == 0xE0) lo = 0xA0;  // no overlong forms
      if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    }
    std::size_t good = len == 0 ? 0 : 1;
    while (good < len && i + good < bytes.size()) {
      const unsigned char c = b(i + good);
      const bool ok = good == 1 ? (c >= lo && c <= hi) : (c & 0xC0) == 0x80;
      if (!ok) break;
      ++good;
    }
    if (len != 0 && good == len) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += good == 0 ? 1 : good;
    }
  }
  return out;
}

std::string trimmed(std::string_view s) {
  const char* blanks = " \t\r\n";
  std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = s.find_last_not_of(blanks);
  return std::string(s.substr(first, last - first + 1));
}

// The desktop file's name: the app's name in lower case, only the characters a desktop
// file id may hold.
std::string desktop_file_name(std::string_view name) {
  std::string id;
  for (char c : name) {
    c = ascii_lower(c);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.') {
      id.push_back(c);
    }
  }
  if (id.empty()) id = "app";
  return id + ".desktop";
}

std::filesystem::path desktop_file(const StartupConfig& config) {
  return config.autostart_folder / desktop_file_name(config.name);
}

// Written whole to a temporary file beside it, then renamed over it.
bool write_replacing(const std::filesystem::path& file, const std::string& text,
                     std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (ec) {
    *error = file.parent_path().string() + ": " + ec.message();
    return false;
  }
  const std::filesystem::path temp = file.string() + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      *error = temp.string() + ": " + std::strerror(errno ? errno : EIO);
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  std::filesystem::rename(temp, file, ec);
  if (ec) {
    *error = file.string() + ": " + ec.message();
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

void drain(int fd, std::string& into, bool& open) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    if (into.size() < kMaxCapture) {
      into.append(buf, std::min(static_cast<std::size_t>(n), kMaxCapture - into.size()));
    }
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    open = false;
  }
}

}  // namespace

HiddenRun run_hidden(const std::string& program, const std::vector<std::string>& arguments) {
  HiddenRun result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    result.output = std::strerror(errno);
    return result;
  }
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.output = std::strerror(errno);
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.output = program + ": " + std::strerror(rc);
    return result;
  }

  std::string out, err;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                     {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) drain(out_pipe[0], out, out_open);
    if (fds[1].revents != 0) drain(err_pipe[0], err, err_open);
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exit_code = 128 + WTERMSIG(status);  // as the shells report it
  }
  result.output = valid_utf8(out) + valid_utf8(err);
  return result;
}

StartupQuery query_startup(const StartupConfig& config) {
  StartupQuery query;
  if (config.autostart_folder.empty()) return query;
  std::ifstream in(desktop_file(config), std::ios::binary);
  if (!in) return query;
  query.enabled = true;
  // Desktops switch an entry off without removing it (the XDG Hidden key, GNOME's own).
  std::string line;
  while (std::getline(in, line)) {
    line = trimmed(line);
    if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") query.enabled = false;
  }
  return query;
}

StartupChange set_startup(const StartupConfig& config, bool enable) {
  std::string error;
  bool done = false;
  if (config.autostart_folder.empty()) {
    error = "no autostart folder (neither XDG_CONFIG_HOME nor HOME is set)";
  } else if (enable) {
    done = write_replacing(desktop_file(config), autostart_desktop_file(config), &error);
  } else {
    std::error_code ec;
    std::filesystem::remove(desktop_file(config), ec);
    done = !ec;
    error = ec.message();
  }
  return startup_change_result(config, enable,
                               done ? std::nullopt : std::optional<std::string>(error));
}

}  // namespace morvane
