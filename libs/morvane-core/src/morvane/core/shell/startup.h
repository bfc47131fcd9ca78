// Start at log-on: a scheduled task ("schtasks", created by a PowerShell script) on
// Windows, an XDG autostart desktop file on Linux. Every call reads the state afresh:
// the task or the file is the state.
#ifndef MORVANE_CORE_SHELL_STARTUP_H_
#define MORVANE_CORE_SHELL_STARTUP_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

struct StartupConfig {
  std::string name;                 // the task's name, the desktop file's Name
  std::filesystem::path executable;  // started with "--startup"
  std::filesystem::path working_folder;
  std::string description;          // the task's description / the desktop file's Comment
  // Texts of the results (the app's language): enabled, disabled, and the two refusals,
  // each followed by the captured text where the platform has one.
  std::string enabled_msg, disabled_msg, enable_failed_msg, disable_failed_msg;
  // Linux: the autostart folder (normally $XDG_CONFIG_HOME/autostart or ~/.config/autostart).
  std::filesystem::path autostart_folder;
  // Windows: the folder of the system's programs, schtasks.exe in it and PowerShell under
  // WindowsPowerShell\v1.0; empty means the system's own (GetSystemDirectoryW). They run by
  // that full path, never found by name: the executable's folder, which its user may write
  // to, must not supply programs to a host running with administrator rights.
  std::filesystem::path system_folder;
};

struct StartupQuery {
  bool supported = true;
  bool enabled = false;
  std::string msg;
};

struct StartupChange {
  bool ok = false;
  std::string msg;
  bool enabled = false;  // from a fresh query after the change
};

// Runs a program to its end without a console window (on Windows a full path runs that
// file and nothing is searched); the exit code (-1 when it could not start, with the
// system's error text) and its standard output followed by its
// standard error, decoded as UTF-8 with invalid bytes replaced.
struct HiddenRun {
  int exit_code = -1;
  std::string output;
};
HiddenRun run_hidden(const std::string& program, const std::vector<std::string>& arguments);

StartupQuery query_startup(const StartupConfig& config);
StartupChange set_startup(const StartupConfig& config, bool enable);

// What a change reports, decided alike on every platform once its step has run: `failure`
// is nothing when the step succeeded, else the platform's text for why not. An enable that
// failed shows the text's first 200 characters; a disable that failed counts as done when
// start at log-on reads as off anyway (there was nothing to remove). `enabled` comes from a
// fresh query.
StartupChange startup_change_result(const StartupConfig& config, bool enable,
                                    const std::optional<std::string>& failure);

// The XDG autostart folder: $XDG_CONFIG_HOME/autostart when that is an absolute path,
// otherwise $HOME/.config/autostart; empty when neither is known. Either may be null.
std::filesystem::path autostart_folder_for(const char* xdg_config_home, const char* home);

// Portable texts, tested on every platform.
// The PowerShell script that registers the task, single quotes doubled in each value.
std::string startup_task_script(const StartupConfig& config);
// The autostart desktop file, with the Exec line quoted and escaped as freedesktop.org's
// Desktop Entry format asks.
std::string autostart_desktop_file(const StartupConfig& config);

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_STARTUP_H_
