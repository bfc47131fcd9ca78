// The host: the one owner of this process's services. main() makes it, run() starts the
// loopback server and what goes with it and then waits on the main thread until someone
// asks to quit (the page, the tray, the updater); the process then ends in exit().
//
// Threads, all owned here or by a service owned here, by the names the system shows:
// - the main thread: waits, then runs the exit;
// - "server I/O" and six "server worker": the loopback server;
// - "shell": opening and hiding the app window;
// - "tray", "window watch" and one "tray action" per menu action;
// - "update check" and "update install", and "update hash" while a download runs;
// - the input sink's own: "keymap restore" (XTest) or "portal bus" (the desktop portal);
// - "clipboard owner" (X11) or "wl clipboard" (wlroots), while this PC's clipboard text
//   is ours;
// - on Windows, "startup errors" while the log-on task is queried or changed.
// Lock contracts are annotated beside each mutex (morvane/core/sync/mutex.h) and checked by
// tools/check-lock-contracts.py.
#ifndef VANTRIEL_HOST_HOST_H_
#define VANTRIEL_HOST_HOST_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "base/data_folder.h"
#include "base/access_code.h"
#include "base/log.h"
#include "base/task_thread.h"
#include "host/pc_sound.h"
#include "host/test_switches.h"
#include "http/api_context.h"
#include "http/local_server.h"
#include "input/desktop.h"
#include "morvane/core/shell/app_window.h"
#include "morvane/core/shell/startup.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/tray/tray.h"
#include "support/history.h"
#include "support/support_sessions.h"
#include "update/updater.h"

namespace vantriel {

struct HostOptions {
  bool no_window = false;  // serve the page without opening the app window
  bool no_tray = false;
  bool startup = false;    // started at log-on: stay quiet in the tray
  std::uint32_t first_port = 8800;  // the first of the twenty ports tried
  // The user declined to run as administrator: the log says what that costs.
  bool elevation_declined = false;
};

// The page with this run's token and the version filled in.
std::string build_page(const std::string& page_template, const std::string& token);

class Host {
 public:
  // Makes the base over `data_folder` (the folder, its log, the access code), makes the
  // folder ready (the settings and identity files, the icons, the menu entry of a portable
  // copy), then makes every service; nothing runs yet.
  Host(std::filesystem::path data_folder, HostOptions options, TestSwitches switches);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Binds the first free port, serves, starts the update check and shows the window.
  // Returns 0 at once when no port is free (after telling the user); otherwise never
  // returns: the process ends in exit().
  int run();

  // Callable from any thread: asks the main thread to run exit_app(). `close_window`
  // also closes the app window (an exit from the tray; the page closes itself).
  void request_exit(bool close_window = false);

 private:
  // Releases held input, removes the instance record, closes the tray (and the window
  // when asked) and ends the process.
  [[noreturn]] void exit_app(bool close_window);
  ShellActions shell_actions();
  morvane::TrayConfig tray_config();
  // With --startup: open the window, then hide it the first time it is found (80 looks,
  // 250 ms apart), so the program starts quietly in the tray.
  void hide_window_when_found(int looks_left);
  // Creates the folder and what the services expect to find in it. Returns true.
  bool prepare_data_folder();

  const HostOptions options_;
  // The base, made first and handed to the services below, which it outlives.
  DataFolder folder_;
  Log log_;
  AccessCode access_code_;
  // Never read: initialising it runs prepare_data_folder() after the base exists and
  // before any service looks into the folder.
  const bool folder_prepared_;
  SessionHistory history_;
  Desktop desktop_;
  SupportSessions sessions_;
  Updater updater_;
  const morvane::StartupConfig startup_;
  const std::unique_ptr<PcSound> pc_sound_;  // before window_, which asks it at each start
  morvane::AppWindow window_;
  std::unique_ptr<morvane::Tray> tray_;  // none with --no-tray; its operations use window_
  TaskThread shell_thread_{"shell"};     // its tasks use window_ and tray_
  std::unique_ptr<ApiContext> api_;
  std::unique_ptr<LocalServer> server_;  // last: its threads stop before the rest goes

  morvane::Mutex exit_mu_;
  morvane::CondVar exit_cv_;
  bool exit_requested_ GUARDED_BY(exit_mu_) = false;
  bool close_window_ GUARDED_BY(exit_mu_) = false;
};

}  // namespace vantriel

#endif  // VANTRIEL_HOST_HOST_H_
