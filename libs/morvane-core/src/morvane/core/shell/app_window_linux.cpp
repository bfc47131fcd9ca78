// The app window on Linux: the browser from PATH and the usual install folders, the
// profile's processes from /proc, and on X11 the window through the EWMH properties the
// window manager and Chromium keep (_NET_CLIENT_LIST, _NET_WM_PID, _NET_WM_NAME) and the
// requests it honours (_NET_ACTIVE_WINDOW, _NET_CLOSE_WINDOW, iconify). On Wayland no
// other program may list, raise or hide a client's windows: the window is the browser's
// main process, closed by ending it (Chromium closes cleanly on SIGTERM), and the browser
// started here is asked over its DevTools pipe to bring its own window forward (it asks
// the compositor through xdg-activation: raised, or marked as wanting attention, as the
// desktop decides) or to minimise it.
#include "morvane/core/shell/app_window_linux.h"
// Before Xlib, which defines Status as a macro.
#include "morvane/core/shell/devtools_pipe_linux.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include <nlohmann/json.hpp>

#include "morvane/core/shell/spawn_linux.h"
#include "morvane/core/sync/mutex.h"

namespace morvane {
namespace {

struct LinuxBrowser {
  const char* family;
  std::vector<const char*> commands;  // looked up on PATH
  std::vector<const char*> installs;  // absolute paths
};

const std::vector<LinuxBrowser>& browser_table() {
  static const std::vector<LinuxBrowser> table = {
      {"chromium",
       {"chromium", "chromium-browser"},
       {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/lib/chromium/chromium",
        "/usr/lib/chromium-browser/chromium-browser", "/snap/bin/chromium"}},
      {"google-chrome",
       {"google-chrome", "google-chrome-stable"},
       {"/opt/google/chrome/google-chrome", "/usr/bin/google-chrome-stable"}},
      {"microsoft-edge",
       {"microsoft-edge", "microsoft-edge-stable"},
       {"/opt/microsoft/msedge/microsoft-edge", "/usr/bin/microsoft-edge-stable"}},
      {"brave",
       {"brave-browser", "brave"},
       {"/opt/brave.com/brave/brave-browser", "/usr/bin/brave-browser", "/snap/bin/brave"}},
      {"vivaldi", {"vivaldi", "vivaldi-stable"}, {"/opt/vivaldi/vivaldi", "/usr/bin/vivaldi"}},
      {"opera",
       {"opera"},
       {"/usr/lib/x86_64-linux-gnu/opera/opera", "/usr/lib/opera/opera", "/snap/bin/opera"}},
  };
  return table;
}

bool is_executable_file(const std::filesystem::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// --- /proc -----------------------------------------------------------------------------

// Command lines are bounded: Chromium's are a few kilobytes; nothing of use lies past this.
constexpr std::size_t kMaxCmdline = 256 * 1024;

std::string read_bounded(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text;
  char buf[4096];
  while (in && text.size() < kMaxCmdline) {
    in.read(buf, sizeof buf);
    text.append(buf, static_cast<std::size_t>(in.gcount()));
  }
  return text;
}

std::string executable_name(const std::string& pid_dir) {
  char target[4096];
  ssize_t n = readlink((pid_dir + "/exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return {};  // another user's process, a kernel thread, or gone
  std::string_view path(target, static_cast<std::size_t>(n));
  return std::string(path.substr(path.rfind('/') + 1));
}

// Gone, or a zombie waiting for its parent: either way it holds no profile any more.
bool process_gone(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::string stat = read_bounded("/proc/" + std::to_string(pid) + "/stat");
  std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return true;
  char state = stat[paren + 2];
  return state == 'Z' || state == 'X';
}

// --- X11 -------------------------------------------------------------------------------

int ignore_protocol_error(Display*, XErrorEvent*) { return 0; }
int ignore_io_error(Display*) { return 0; }

// One short connection per call: the platform keeps no state between calls, and a window
// that vanishes mid-call is normal, so protocol errors are ignored (the handlers are
// process-wide and the host's own X code installs the same ones). A connection whose
// server went away is left open: Xlib cannot close it cleanly.
class XConnection {
 public:
  XConnection() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return;
    static std::once_flag handlers;
    std::call_once(handlers, [] {
      XSetErrorHandler(ignore_protocol_error);
      XSetIOErrorHandler(ignore_io_error);
    });
    display_ = XOpenDisplay(nullptr);
    if (display_ != nullptr) XSetIOErrorExitHandler(display_, &XConnection::on_io_error, this);
  }
  ~XConnection() {
    if (display_ != nullptr && !broken_) XCloseDisplay(display_);
  }
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  Display* get() const { return broken_ ? nullptr : display_; }
  Window root() const { return DefaultRootWindow(display_); }
  Atom atom(const char* name) const { return XInternAtom(display_, name, False); }

 private:
  static void on_io_error(Display*, void* self) { static_cast<XConnection*>(self)->broken_ = true; }

  Display* display_ = nullptr;
  bool broken_ = false;
};

// A 32-bit property (CARDINAL, WINDOW, ATOM) as the longs Xlib hands back.
std::vector<unsigned long> long_property(const XConnection& x, Window w, const char* name,
                                         Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> out;
  if (XGetWindowProperty(x.get(), w, x.atom(name), 0, 65536, False, type, &actual, &format, &count,
                         &after, &data) == Success &&
      data != nullptr) {
    if (actual == type && format == 32) {
      auto* values = reinterpret_cast<unsigned long*>(data);
      out.assign(values, values + count);
    }
  }
  if (data != nullptr) XFree(data);
  return out;
}

std::optional<std::string> text_property(const XConnection& x, Window w, Atom property, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> out;
  if (XGetWindowProperty(x.get(), w, property, 0, 1024, False, type, &actual, &format, &count,
                         &after, &data) == Success &&
      data != nullptr && actual == type && format == 8) {
    out.emplace(reinterpret_cast<char*>(data), count);
  }
  if (data != nullptr) XFree(data);
  return out;
}

std::string window_title(const XConnection& x, Window w) {
  if (auto name = text_property(x, w, x.atom("_NET_WM_NAME"), x.atom("UTF8_STRING"))) {
    return *name;
  }
  return text_property(x, w, XA_WM_NAME, XA_STRING).value_or("");
}

bool wm_supports(const XConnection& x, const char* hint) {
  const Atom wanted = x.atom(hint);
  auto supported = long_property(x, x.root(), "_NET_SUPPORTED", XA_ATOM);
  return std::find(supported.begin(), supported.end(), wanted) != supported.end();
}

// A client message to the root window, as EWMH asks pagers and taskbars to send them.
void send_to_root(const XConnection& x, Window w, const char* type,
                  std::initializer_list<long> data) {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = x.atom(type);
  ev.xclient.format = 32;
  int i = 0;
  for (long v : data) ev.xclient.data.l[i++] = v;
  XSendEvent(x.get(), x.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
}

// Source indication 2: the request comes from a pager, on the user's behalf, so focus
// stealing prevention lets it through.
constexpr long kSourcePager = 2;

bool env_set(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

bool session_is_wayland() {
  const char* type = std::getenv("XDG_SESSION_TYPE");
  return browser_windows_are_wayland(type != nullptr ? type : "", env_set("WAYLAND_DISPLAY"),
                                     env_set("DISPLAY"));
}

bool session_typed_wayland() {
  const char* type = std::getenv("XDG_SESSION_TYPE");
  return type != nullptr && std::string_view(type) == "wayland";
}

class LinuxAppWindowPlatform final : public AppWindowPlatform {
 public:
  std::optional<BrowserChoice> find_browser() override {
    const char* path = std::getenv("PATH");
    for (auto& candidate : linux_browser_candidates(path != nullptr ? path : "")) {
      if (is_executable_file(candidate.path)) return candidate;
    }
    return std::nullopt;
  }

  std::vector<std::uint64_t> find_profile_processes(const std::filesystem::path& profile) override {
    std::vector<std::uint64_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* entry = readdir(proc)) {
      const std::string_view name = entry->d_name;
      if (name.empty() ||
          !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        continue;
      }
      const std::string dir = "/proc/" + std::string(name);
      if (!is_browser_process_name(executable_name(dir))) continue;
      auto folder = user_data_dir_of_cmdline(read_bounded(dir + "/cmdline"));
      if (folder && same_profile_folder(*folder, profile.string())) {
        pids.push_back(std::stoull(std::string(name)));
      }
    }
    closedir(proc);
    return pids;
  }

  std::optional<NativeWindow> find_window(std::string_view title,
                                          const std::vector<std::uint64_t>& pids) override {
    if (wayland_) {
      // The browser closes when its last window does (background mode needs extensions,
      // which the window runs without): its main process stands for the window.
      for (std::uint64_t pid : pids) {
        if (is_browser_main_process(read_bounded("/proc/" + std::to_string(pid) + "/cmdline"))) {
          return static_cast<NativeWindow>(pid);
        }
      }
      return std::nullopt;
    }
    XConnection x;
    if (x.get() == nullptr) return std::nullopt;
    auto clients = long_property(x, x.root(), "_NET_CLIENT_LIST", XA_WINDOW);
    if (clients.empty()) {
      // No EWMH window manager: the top-level windows are the root's children.
      Window root_return = 0, parent = 0;
      Window* children = nullptr;
      unsigned int count = 0;
      if (XQueryTree(x.get(), x.root(), &root_return, &parent, &children, &count) && children) {
        clients.assign(children, children + count);
      }
      if (children != nullptr) XFree(children);
    }
    for (unsigned long w : clients) {
      auto pid = long_property(x, w, "_NET_WM_PID", XA_CARDINAL);
      if (pid.empty() || std::find(pids.begin(), pids.end(), pid[0]) == pids.end()) continue;
      if (window_title(x, w).starts_with(title)) return static_cast<NativeWindow>(w);
    }
    return std::nullopt;
  }

  void focus(NativeWindow window) override {
    if (wayland_) {
      if (auto target = page_target()) devtools("Target.activateTarget", target_params(*target));
      return;
    }
    XConnection x;
    if (x.get() == nullptr) return;
    const Window w = static_cast<Window>(window);
    // Mapping asks the window manager to bring an iconified (or withdrawn) window back;
    // _NET_ACTIVE_WINDOW then raises and focuses it.
    XMapRaised(x.get(), w);
    if (wm_supports(x, "_NET_ACTIVE_WINDOW")) {
      send_to_root(x, w, "_NET_ACTIVE_WINDOW", {kSourcePager, CurrentTime, 0});
    } else {
      XSync(x.get(), False);
      XSetInputFocus(x.get(), w, RevertToParent, CurrentTime);
    }
    XSync(x.get(), False);
  }

  // Iconified rather than withdrawn: a withdrawn window leaves _NET_CLIENT_LIST, and the
  // program would take it for closed (and end its browser at the next open()).
  void hide(NativeWindow window) override {
    if (wayland_) {
      if (auto id = browser_window()) {
        devtools("Browser.setWindowBounds",
                 nlohmann::json{{"windowId", *id}, {"bounds", {{"windowState", "minimized"}}}}.dump());
      }
      return;
    }
    XConnection x;
    if (x.get() == nullptr) return;
    XIconifyWindow(x.get(), static_cast<Window>(window), DefaultScreen(x.get()));
    XSync(x.get(), False);
  }

  bool is_visible(NativeWindow window) override {
    if (wayland_) {
      // Unknown without the browser's pipe: the tray offers to show it.
      auto id = browser_window();
      auto bounds = id ? devtools("Browser.getWindowBounds", nlohmann::json{{"windowId", *id}}.dump())
                       : std::nullopt;
      if (!bounds) return false;
      const auto state = nlohmann::json::parse(*bounds, nullptr, false)["bounds"]["windowState"];
      return state.is_string() && state != "minimized";
    }
    XConnection x;
    if (x.get() == nullptr) return false;
    const Window w = static_cast<Window>(window);
    XWindowAttributes attrs{};
    if (!XGetWindowAttributes(x.get(), w, &attrs) || attrs.map_state != IsViewable) return false;
    auto states = long_property(x, w, "_NET_WM_STATE", XA_ATOM);
    const Atom hidden = x.atom("_NET_WM_STATE_HIDDEN");
    return std::find(states.begin(), states.end(), hidden) == states.end();
  }

  void close(NativeWindow window) override {
    if (wayland_) {
      kill(static_cast<pid_t>(window), SIGTERM);
      return;
    }
    XConnection x;
    if (x.get() == nullptr) return;
    const Window w = static_cast<Window>(window);
    if (wm_supports(x, "_NET_CLOSE_WINDOW")) {
      send_to_root(x, w, "_NET_CLOSE_WINDOW", {CurrentTime, kSourcePager});
    } else {
      XEvent ev{};
      ev.xclient.type = ClientMessage;
      ev.xclient.window = w;
      ev.xclient.message_type = x.atom("WM_PROTOCOLS");
      ev.xclient.format = 32;
      ev.xclient.data.l[0] = static_cast<long>(x.atom("WM_DELETE_WINDOW"));
      ev.xclient.data.l[1] = CurrentTime;
      XSendEvent(x.get(), w, False, NoEventMask, &ev);
    }
    XSync(x.get(), False);
  }

  // SIGTERM first: Chromium then shuts down cleanly and releases the profile's lock.
  // Whatever is still there after 3 s gets SIGKILL.
  void end_processes(const std::vector<std::uint64_t>& pids) override {
    std::vector<pid_t> left;
    for (auto pid : pids) {
      if (pid == 0 || pid == static_cast<std::uint64_t>(getpid())) continue;
      if (kill(static_cast<pid_t>(pid), SIGTERM) == 0) left.push_back(static_cast<pid_t>(pid));
    }
    const auto wait_gone = [&left](std::chrono::milliseconds limit) {
      const auto end = std::chrono::steady_clock::now() + limit;
      while (true) {
        std::erase_if(left, process_gone);
        if (left.empty() || std::chrono::steady_clock::now() >= end) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    };
    wait_gone(std::chrono::seconds(3));
    for (pid_t pid : left) kill(pid, SIGKILL);
    wait_gone(std::chrono::seconds(1));
  }

  bool start(const std::filesystem::path& browser,
             const std::vector<std::string>& arguments) override {
    return start_with_environment(browser, arguments, {});
  }

  bool start_with_environment(const std::filesystem::path& browser,
                              const std::vector<std::string>& arguments,
                              const std::vector<std::string>& environment) override {
    std::vector<std::string> env = environment;
    // Chromium shares the screen through the desktop portal (PipeWire) only where
    // XDG_SESSION_TYPE says "wayland"; elsewhere it tries X11, which cannot see a Wayland
    // desktop. A session that is Wayland by its socket alone says so to the browser.
    if (wayland_ && !typed_wayland_) env.emplace_back("XDG_SESSION_TYPE=wayland");
    if (!wayland_) return spawn_unowned(browser.string(), arguments, false, env) == 0;
    // On Wayland the browser gets its DevTools pipe, the one way to raise or minimise its
    // window; without one it still starts, as a window that stays where it is.
    auto pipe = DevToolsPipe::open();
    if (!pipe) return spawn_unowned(browser.string(), arguments, false, env) == 0;
    std::vector<std::string> args = arguments;
    args.emplace_back("--remote-debugging-pipe");
    const std::vector<int> ends = {(*pipe)->browser_reads(), (*pipe)->browser_writes()};
    const bool started = spawn_unowned(browser.string(), args, false, env, ends) == 0;
    (*pipe)->close_browser_ends();
    morvane::MutexLock lock(devtools_mu_);
    devtools_ = started ? std::move(*pipe) : nullptr;
    return started;
  }

  bool open_url(const std::string& url) override {
    return spawn_unowned("xdg-open", {url}, true) == 0;
  }

 private:
  // The answer of `method` over the pipe of the browser started here, or nothing (no such
  // browser, or it does not answer); a browser that is gone takes its pipe with it.
  std::optional<std::string> devtools(std::string_view method, const std::string& params) {
    morvane::MutexLock lock(devtools_mu_);
    if (!devtools_) return std::nullopt;
    auto answer = devtools_->call(method, params, kDevToolsWait);
    if (answer) return *answer;
    if (answer.error().find("closed") != std::string::npos ||
        answer.error().find("no longer") != std::string::npos) {
      devtools_.reset();
    }
    return std::nullopt;
  }

  static std::string target_params(const std::string& target) {
    return nlohmann::json{{"targetId", target}}.dump();
  }

  // The app window's page: the browser's first target of type "page".
  std::optional<std::string> page_target() {
    auto targets = devtools("Target.getTargets", "{}");
    if (!targets) return std::nullopt;
    return first_page_target(*targets);
  }

  std::optional<long long> browser_window() {
    auto target = page_target();
    auto window = target ? devtools("Browser.getWindowForTarget", target_params(*target)) : std::nullopt;
    if (!window) return std::nullopt;
    const auto id = nlohmann::json::parse(*window, nullptr, false)["windowId"];
    if (!id.is_number_integer()) return std::nullopt;
    return id.get<long long>();
  }

  static constexpr std::chrono::milliseconds kDevToolsWait{3000};

  const bool wayland_ = session_is_wayland();
  const bool typed_wayland_ = session_typed_wayland();
  morvane::Mutex devtools_mu_;
  std::unique_ptr<DevToolsPipe> devtools_ GUARDED_BY(devtools_mu_);
};

}  // namespace

std::vector<BrowserChoice> linux_browser_candidates(std::string_view path_env) {
  std::vector<std::filesystem::path> folders;
  std::size_t start = 0;
  while (start <= path_env.size()) {
    std::size_t end = path_env.find(':', start);
    if (end == std::string_view::npos) end = path_env.size();
    std::string_view folder = path_env.substr(start, end - start);
    // An empty entry means the current folder, which is no place to pick a browser from.
    if (!folder.empty() && folder.front() == '/') folders.emplace_back(folder);
    start = end + 1;
  }
  std::vector<BrowserChoice> out;
  for (const auto& browser : browser_table()) {
    for (const char* command : browser.commands) {
      for (const auto& folder : folders) out.push_back({folder / command, browser.family});
    }
    for (const char* install : browser.installs) out.push_back({install, browser.family});
  }
  return out;
}

bool is_browser_process_name(std::string_view name) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (name.ends_with(kDeleted)) name.remove_suffix(kDeleted.size());
  static constexpr std::string_view kNames[] = {"chromium", "chromium-browser", "chrome",  "msedge",
                                                "brave",    "vivaldi-bin",      "vivaldi", "opera"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

std::optional<std::string> user_data_dir_of_cmdline(std::string_view cmdline) {
  constexpr std::string_view kSwitch = "--user-data-dir=";
  while (!cmdline.empty()) {
    std::size_t end = cmdline.find('\0');
    std::string_view arg = cmdline.substr(0, end);
    if (arg.starts_with(kSwitch)) {
      arg.remove_prefix(kSwitch.size());
      if (arg.empty()) return std::nullopt;
      return std::string(arg);
    }
    // Chromium rewrites its processes' titles once running: the arguments become one
    // text joined by blanks, read then as a command line is on Windows.
    if (arg.find(" --user-data-dir=") != std::string_view::npos) {
      return user_data_dir_argument(arg.substr(arg.find(" --user-data-dir=") + 1));
    }
    if (end == std::string_view::npos) break;
    cmdline.remove_prefix(end + 1);
  }
  return std::nullopt;
}

bool is_browser_main_process(std::string_view cmdline) {
  if (cmdline.empty()) return false;  // gone, or a kernel thread
  // Both as NUL-separated arguments and as the blank-joined title Chromium rewrites.
  const auto has_type = [cmdline](char before) {
    for (std::size_t at = cmdline.find("--type="); at != std::string_view::npos;
         at = cmdline.find("--type=", at + 1)) {
      if (at > 0 && cmdline[at - 1] == before) return true;
    }
    return false;
  };
  return !has_type('\0') && !has_type(' ');
}

std::optional<std::string> first_page_target(std::string_view targets) {
  const auto answer = nlohmann::json::parse(targets, nullptr, false);
  if (!answer.is_object() || !answer.contains("targetInfos") || !answer["targetInfos"].is_array()) {
    return std::nullopt;
  }
  for (const auto& t : answer["targetInfos"]) {
    if (t.is_object() && t.value("type", "") == "page" && t.contains("targetId") && t["targetId"].is_string()) {
      return t["targetId"].get<std::string>();
    }
  }
  return std::nullopt;
}

bool browser_windows_are_wayland(std::string_view session_type, bool wayland_display,
                                 bool x_display) {
  if (!wayland_display) return false;
  return session_type == "wayland" || (session_type != "x11" && !x_display);
}

std::unique_ptr<AppWindowPlatform> make_app_window_platform() {
  return std::make_unique<LinuxAppWindowPlatform>();
}

}  // namespace morvane
