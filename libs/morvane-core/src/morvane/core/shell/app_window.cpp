#include "morvane/core/shell/app_window.h"
#include "morvane/core/sync/mutex.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace morvane {
namespace {

// A window started this recently may still be coming up: open() waits for it instead of
// starting a second browser.
constexpr auto kLaunchGrace = std::chrono::seconds(12);
constexpr int kWaitTries = 48;
constexpr auto kWaitStep = std::chrono::milliseconds(250);

}  // namespace

std::chrono::steady_clock::time_point AppWindowPlatform::now() {
  return std::chrono::steady_clock::now();
}

void AppWindowPlatform::pause(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

bool AppWindowPlatform::start_with_environment(const std::filesystem::path& browser,
                                               const std::vector<std::string>& arguments,
                                               const std::vector<std::string>&) {
  return start(browser, arguments);
}

AppWindow::AppWindow(AppWindowConfig config, std::unique_ptr<AppWindowPlatform> platform,
                     BrowserExtras extras)
    : config_(std::move(config)), platform_(std::move(platform)), extras_(std::move(extras)) {}

void AppWindow::set_url(std::string url) {
  morvane::MutexLock lock(url_mu_);
  url_ = std::move(url);
}

std::string AppWindow::url() const {
  morvane::MutexLock lock(url_mu_);
  return url_;
}

std::filesystem::path AppWindow::profile_dir(std::string_view executable) const {
  std::string_view stem = executable;
  constexpr std::string_view kExe = ".exe";
  if (stem.size() >= kExe.size() && stem.substr(stem.size() - kExe.size()) == kExe) {
    stem.remove_suffix(kExe.size());
  }
  // Edge keeps the plain name: the folder predates the other browsers.
  if (stem == "msedge") return config_.data_folder / "ventana";
  return config_.data_folder / ("ventana_" + std::string(stem));
}

std::optional<NativeWindow> AppWindow::find() {
  auto browser = platform_->find_browser();
  if (!browser) return std::nullopt;
  auto pids = platform_->find_profile_processes(profile_dir(browser->executable));
  if (pids.empty()) return std::nullopt;
  return platform_->find_window(config_.title, pids);
}

void AppWindow::open() {
  morvane::MutexLock launch(launch_mu_);
  if (auto window = find()) {
    platform_->focus(*window);
    return;
  }
  if (last_launch_ && platform_->now() - *last_launch_ < kLaunchGrace) {
    for (int i = 0; i < kWaitTries; ++i) {
      platform_->pause(kWaitStep);
      if (auto window = find()) {
        platform_->focus(*window);
        return;
      }
    }
  }

  // No window: whatever still runs with the profile (a window the user closed while a
  // background process stayed, a browser that never showed one) would take the new
  // start's arguments and drop them, so it goes first.
  auto browser = platform_->find_browser();
  if (browser) {
    auto stray = platform_->find_profile_processes(profile_dir(browser->executable));
    if (!stray.empty()) platform_->end_processes(stray);
  }

  const std::string address = url();
  // Before the server is bound there is nothing to show.
  if (address.empty()) return;
  last_launch_ = platform_->now();
  if (!browser) {
    platform_->open_url(address);
    return;
  }
  const std::vector<std::string> environment =
      extras_.environment ? extras_.environment() : std::vector<std::string>{};
  if (!platform_->start_with_environment(
          browser->path,
          app_window_arguments(address, profile_dir(browser->executable), extras_.switches),
          environment)) {
    platform_->open_url(address);
  }
}

// The queries below do not take the launch lock: the platform keeps no state, and the
// watcher and the exit path must not wait out an open() that waits for a window.
void AppWindow::hide() {
  if (auto window = find()) platform_->hide(*window);
}

bool AppWindow::is_shown() {
  auto window = find();
  return window && platform_->is_visible(*window);
}

bool AppWindow::exists() { return find().has_value(); }

void AppWindow::close() {
  if (auto window = find()) platform_->close(*window);
}

std::vector<std::string> app_window_arguments(const std::string& url,
                                              const std::filesystem::path& profile,
                                              const std::vector<std::string>& extra) {
  std::vector<std::string> args = {
      "--app=" + url,
      "--window-size=1440,920",
      "--user-data-dir=" + profile.string(),
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-extensions",
      "--disable-sync",
      "--disable-background-networking",
      "--disk-cache-size=8388608",
      "--disable-backgrounding-occluded-windows",
      "--disable-renderer-backgrounding",
      "--disable-background-timer-throttling",
      "--autoplay-policy=no-user-gesture-required",
      "--disable-features=Translate,msEdgeSidebarV2,CalculateNativeWinOcclusion",
      // A remote screen is acted on, not watched: each received frame is shown as soon
      // as it is decoded, with no playout delay for smoothness (WebRTC's own switch for
      // it; a page can only ask for a smaller jitter buffer, which changes nothing here).
      "--force-fieldtrials=WebRTC-ForcePlayoutDelay/min_ms:0,max_ms:0/",
      // On a Wayland desktop the window is a Wayland one, so that the screen is shared
      // through the desktop's portal (through XWayland the browser would capture only
      // the X11 programs); elsewhere X11 as before. Other platforms ignore the switch.
      "--ozone-platform-hint=auto",
  };
  for (const std::string& arg : extra) {
    bool merged = false;
    for (std::string_view list : {std::string_view("--enable-features="),
                                  std::string_view("--disable-features=")}) {
      if (!arg.starts_with(list) || arg.size() == list.size()) continue;
      auto same = std::find_if(args.begin(), args.end(),
                               [&](const std::string& a) { return a.starts_with(list); });
      if (same == args.end()) break;
      *same += "," + arg.substr(list.size());
      merged = true;
    }
    if (!merged) args.push_back(arg);
  }
  return args;
}

}  // namespace morvane
