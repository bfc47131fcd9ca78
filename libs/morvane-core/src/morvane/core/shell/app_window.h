// The window that shows the page: an installed Chromium-family browser started in app
// mode with a profile of the program's own, found again by its profile's processes and
// its title, and brought to the front. Where no such browser exists the address goes to
// the system's default handler as an ordinary tab.
#ifndef MORVANE_CORE_SHELL_APP_WINDOW_H_
#define MORVANE_CORE_SHELL_APP_WINDOW_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/core/sync/mutex.h"

namespace morvane {

// A browser the window can be started with.
struct BrowserChoice {
  std::filesystem::path path;  // the executable
  std::string executable;      // its name as the browser table has it, e.g. "chrome.exe"
};

// A top-level window of the platform (HWND on Windows, the X11 Window id on Linux).
using NativeWindow = std::uintptr_t;

// What the app hands the window: its title (the page's own title, which the browser gives
// the window) and the folder that holds the browser profiles.
struct AppWindowConfig {
  std::string title;
  std::filesystem::path data_folder;
};

// What the app needs of the browser on this platform beyond the window's own start.
struct BrowserExtras {
  // Switches after the window's own; feature lists are merged into the window's (a
  // browser keeps only its last --enable-features and --disable-features).
  std::vector<std::string> switches;
  // "NAME=value" entries added to the browser's environment, asked for at each start.
  std::function<std::vector<std::string>()> environment;
};

// The platform half, one implementation per platform (app_window_win.cpp,
// app_window_linux.cpp) and fakes in tests. Every call is made under AppWindow's launch
// lock or from the tray's threads; implementations keep no state of their own but the
// Wayland browser's DevTools pipe (app_window_linux.cpp), under a lock of its own.
class AppWindowPlatform {
 public:
  virtual ~AppWindowPlatform() = default;
  // The first installed browser of the platform's candidate list, or nothing.
  virtual std::optional<BrowserChoice> find_browser() = 0;
  // The running processes of the supported browsers whose command line names `profile`
  // as their user data folder (compared with same_profile_folder()).
  virtual std::vector<std::uint64_t> find_profile_processes(const std::filesystem::path& profile) = 0;
  // The first top-level browser window whose title starts with `title` and whose owning
  // process is one of `pids`.
  virtual std::optional<NativeWindow> find_window(std::string_view title,
                                                  const std::vector<std::uint64_t>& pids) = 0;
  // Shows, restores when minimised, and activates.
  virtual void focus(NativeWindow window) = 0;
  virtual void hide(NativeWindow window) = 0;
  // Mapped (visible) and not minimised.
  virtual bool is_visible(NativeWindow window) = 0;
  // Asks the window to close, as its close button would.
  virtual void close(NativeWindow window) = 0;
  virtual void end_processes(const std::vector<std::uint64_t>& pids) = 0;
  // Starts `browser` with `arguments` without waiting for it. Returns whether it started.
  virtual bool start(const std::filesystem::path& browser, const std::vector<std::string>& arguments) = 0;
  // The same with "NAME=value" entries added to the environment; platforms whose browser
  // needs none start it as start() does.
  virtual bool start_with_environment(const std::filesystem::path& browser,
                                      const std::vector<std::string>& arguments,
                                      const std::vector<std::string>& environment);
  // Hands `url` to the default handler (the fallback). Returns whether that started.
  virtual bool open_url(const std::string& url) = 0;

  // The clock and the pause of open()'s wait for a window that is still coming up; tests
  // replace them so that the 12 s rule runs without 12 s of sleep.
  virtual std::chrono::steady_clock::time_point now();
  virtual void pause(std::chrono::milliseconds duration);
};

std::unique_ptr<AppWindowPlatform> make_app_window_platform();

// The app window. Thread-safe: open() is serialised by the launch lock, so a second
// request waits and then finds the window the first one started.
class AppWindow {
 public:
  AppWindow(AppWindowConfig config, std::unique_ptr<AppWindowPlatform> platform,
            BrowserExtras extras = {});

  // The page's address; set once the server is bound (or to the running instance's).
  void set_url(std::string url);
  std::string url() const;

  // Shows the existing window or starts a new one: waits up to 12 s (48 tries 250 ms
  // apart) for a window started less than 12 s ago, ends stray processes of the profile
  // before a new start, and falls back to the default handler when no browser is found
  // or the browser does not start.
  void open();
  // Hides the window when there is one.
  void hide();
  // Whether the window exists, is visible and is not minimised.
  bool is_shown();
  // Whether the window exists in any state (shown, minimised or hidden).
  bool exists();
  // Asks the window to close when there is one (at exit).
  void close();

  // The profile folder for a browser executable: "ventana" for "msedge.exe", otherwise
  // "ventana_" and the name without ".exe".
  std::filesystem::path profile_dir(std::string_view executable) const;

 private:
  std::optional<NativeWindow> find();

  const AppWindowConfig config_;
  const std::unique_ptr<AppWindowPlatform> platform_;
  const BrowserExtras extras_;
  morvane::Mutex launch_mu_ ACQUIRED_BEFORE(url_mu_);  // serialises open()
  std::optional<std::chrono::steady_clock::time_point> last_launch_ GUARDED_BY(launch_mu_);
  mutable morvane::Mutex url_mu_;
  std::string url_ GUARDED_BY(url_mu_);
};

// The arguments a new app window starts with, in order, and `extra` after them; a
// feature list in `extra` joins the window's own switch of that name instead.
std::vector<std::string> app_window_arguments(const std::string& url,
                                              const std::filesystem::path& profile,
                                              const std::vector<std::string>& extra = {});

// The user data folder named by a browser command line ("--user-data-dir=" with or
// without double quotes), or nothing.
std::optional<std::string> user_data_dir_argument(std::string_view command_line);

// Whether two profile folder texts name the same folder: quotes and trailing separators
// stripped, separators unified, compared without case on Windows and with it on Linux.
bool same_profile_folder(std::string_view a, std::string_view b);

// The same under one platform's rules, whichever platform this is: Windows folds ASCII
// case and takes "/" for "\"; POSIX compares the bytes and has only "/".
enum class FolderRules { kWindows, kPosix };
bool same_profile_folder(std::string_view a, std::string_view b, FolderRules rules);

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_APP_WINDOW_H_
