// The texts that start at log-on is made of, the same on every platform: the PowerShell
// script that registers the Windows task and the XDG autostart desktop file.
#include "morvane/core/shell/startup.h"

#include "morvane/core/shell/desktop_entry.h"

namespace morvane {
namespace {

std::string trim_blanks(std::string_view text) {
  const char* blanks = " \t\r\n\v\f";
  const std::size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(blanks) - begin + 1));
}

// The first `count` characters of UTF-8 `text` (a character is cut by its lead byte).
std::string_view first_characters(std::string_view text, std::size_t count) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && characters++ == count) {
      return text.substr(0, i);
    }
  }
  return text;
}

std::string utf8(const std::filesystem::path& path) {
  auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A PowerShell single-quoted string ends at any of its four single quotes: the ASCII one
// and the typographic U+2018, U+2019, U+201A, U+201B ("Ana’s PC" is a common folder
// name). Each is escaped by doubling it.
std::string powershell_quoted(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\'') {
      out += "''";
    } else if (static_cast<unsigned char>(c) == 0xE2 && i + 2 < value.size() &&
               static_cast<unsigned char>(value[i + 1]) == 0x80 &&
               static_cast<unsigned char>(value[i + 2]) >= 0x98 &&
               static_cast<unsigned char>(value[i + 2]) <= 0x9B) {
      out.append(value.substr(i, 3));
      out.append(value.substr(i, 3));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::filesystem::path autostart_folder_for(const char* xdg_config_home, const char* home) {
  // The XDG base directory rules ignore a relative XDG_CONFIG_HOME.
  if (xdg_config_home != nullptr && xdg_config_home[0] == '/') {
    return std::filesystem::path(xdg_config_home) / "autostart";
  }
  if (home != nullptr && home[0] != '\0') {
    return std::filesystem::path(home) / ".config" / "autostart";
  }
  return {};
}

std::string startup_task_script(const StartupConfig& config) {
  return "$a = New-ScheduledTaskAction -Execute '" + powershell_quoted(utf8(config.executable)) +
         "' -Argument '--startup' -WorkingDirectory '" +
         powershell_quoted(utf8(config.working_folder)) +
         "';$t = New-ScheduledTaskTrigger -AtLogOn -User $env:USERNAME; $t.Delay = 'PT20S';"
         "$p = New-ScheduledTaskPrincipal -UserId $env:USERNAME -LogonType Interactive "
         "-RunLevel Highest;"
         "$s = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries "
         "-ExecutionTimeLimit ([TimeSpan]::Zero) -MultipleInstances IgnoreNew "
         "-StartWhenAvailable;"
         "Register-ScheduledTask -TaskName '" +
         powershell_quoted(config.name) +
         "' -Action $a -Trigger $t -Principal $p -Settings $s -Description '" +
         powershell_quoted(config.description) + "' -Force | Out-Null";
}

std::string autostart_desktop_file(const StartupConfig& config) {
  std::string text = "[Desktop Entry]\nType=Application\nVersion=1.0\n";
  text += "Name=" + desktop_entry_string(config.name) + "\n";
  if (!config.description.empty()) {
    text += "Comment=" + desktop_entry_string(config.description) + "\n";
  }
  text += "Exec=" +
          desktop_entry_string(desktop_exec_argument(utf8(config.executable)) + " --startup") +
          "\n";
  if (!config.working_folder.empty()) {
    text += "Path=" + desktop_entry_string(utf8(config.working_folder)) + "\n";
  }
  // The scheduled task of the Windows build waits 20 s after log-on; GNOME honours the
  // same delay here.
  text += "Terminal=false\nX-GNOME-Autostart-enabled=true\nX-GNOME-Autostart-Delay=20\n";
  return text;
}

StartupChange startup_change_result(const StartupConfig& config, bool enable,
                                    const std::optional<std::string>& failure) {
  StartupChange change;
  if (!failure) {
    change.ok = true;
    change.msg = enable ? config.enabled_msg : config.disabled_msg;
  } else if (enable) {
    change.msg = config.enable_failed_msg + trim_blanks(first_characters(*failure, 200));
  } else if (query_startup(config).enabled) {
    change.msg = config.disable_failed_msg + trim_blanks(*failure);
  } else {
    change.ok = true;
    change.msg = config.disabled_msg;
  }
  change.enabled = query_startup(config).enabled;
  return change;
}

}  // namespace morvane
