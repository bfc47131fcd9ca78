// The Linux app window's decisions that need no desktop, exposed for its tests.
#ifndef MORVANE_CORE_SHELL_APP_WINDOW_LINUX_H_
#define MORVANE_CORE_SHELL_APP_WINDOW_LINUX_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/core/shell/app_window.h"

namespace morvane {

// Every place a supported browser may be, in the order they are tried: for each browser
// (chromium first), its command names in each folder of `path_env` (a PATH value), then
// its usual install locations. `executable` is the browser's family name ("chromium",
// "google-chrome", ...), which names its profile folder.
std::vector<BrowserChoice> linux_browser_candidates(std::string_view path_env);

// Whether a process whose executable has this file name is a browser the window may run
// in (the real binaries behind the launch scripts: "chromium", "chrome", "msedge", ...).
// A name that /proc reports with " (deleted)" after an upgrade counts as the same name.
bool is_browser_process_name(std::string_view name);

// The user data folder in a /proc/<pid>/cmdline text (arguments ended by NUL bytes): the
// value of the first argument that starts with "--user-data-dir=", or, in a title that
// Chromium rewrote into one blank-joined text, the value up to the next " --".
std::optional<std::string> user_data_dir_of_cmdline(std::string_view cmdline);

// Whether a /proc/<pid>/cmdline text is a browser's main process: the one without a
// "--type=" switch (renderers, the GPU and utility processes all have one).
bool is_browser_main_process(std::string_view cmdline);

// Whether the browser's windows are beyond X11's sight: in a Wayland session the window
// runs as a Wayland client (the --ozone-platform-hint=auto it is started with), which X11,
// XWayland's included, cannot list, raise or close. `session_type` is XDG_SESSION_TYPE.
bool browser_windows_are_wayland(std::string_view session_type, bool wayland_display,
                                 bool x_display);

// The id of the first target of type "page" in a DevTools Target.getTargets result: the
// app window's page (the browser's own pages are other types).
std::optional<std::string> first_page_target(std::string_view targets);

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_APP_WINDOW_LINUX_H_
