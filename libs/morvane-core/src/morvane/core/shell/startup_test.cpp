#include "morvane/core/shell/startup.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

// Paths from UTF-8 text on every platform (a narrow string is the ANSI code page's on
// Windows).
std::filesystem::path utf8_path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

StartupConfig config(const std::string& exe, const std::string& folder) {
  StartupConfig c;
  c.name = "Vantriel";
  c.executable = utf8_path(exe);
  c.working_folder = utf8_path(folder);
  c.description = "Abre Vantriel en la bandeja del sistema al iniciar sesion.";
  return c;
}

TEST(StartupTaskScript, TheWholeScript) {
  EXPECT_EQ(
      startup_task_script(config(R"(C:\Apps\Vantriel\Vantriel.exe)", R"(C:\Apps\Vantriel)")),
      R"($a = New-ScheduledTaskAction -Execute 'C:\Apps\Vantriel\Vantriel.exe' -Argument '--startup' -WorkingDirectory 'C:\Apps\Vantriel';)"
      R"($t = New-ScheduledTaskTrigger -AtLogOn -User $env:USERNAME; $t.Delay = 'PT20S';)"
      R"($p = New-ScheduledTaskPrincipal -UserId $env:USERNAME -LogonType Interactive -RunLevel Highest;)"
      R"($s = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries -ExecutionTimeLimit ([TimeSpan]::Zero) -MultipleInstances IgnoreNew -StartWhenAvailable;)"
      R"(Register-ScheduledTask -TaskName 'Vantriel' -Action $a -Trigger $t -Principal $p -Settings $s -Description 'Abre Vantriel en la bandeja del sistema al iniciar sesion.' -Force | Out-Null)");
}

TEST(StartupTaskScript, QuotesAreDoubledInEveryValue) {
  auto c = config(R"(C:\Users\O'Brien\Vantriel.exe)", R"(C:\Users\O'Brien)");
  c.name = "Van'triel";
  c.description = "Abre Van'triel";
  const std::string script = startup_task_script(c);
  EXPECT_NE(script.find(R"(-Execute 'C:\Users\O''Brien\Vantriel.exe' )"), std::string::npos);
  EXPECT_NE(script.find(R"(-WorkingDirectory 'C:\Users\O''Brien';)"), std::string::npos);
  EXPECT_NE(script.find("-TaskName 'Van''triel' "), std::string::npos);
  EXPECT_NE(script.find("-Description 'Abre Van''triel' "), std::string::npos);

  // PowerShell ends a single-quoted string at a typographic quote too: "Ana’s PC".
  auto typographic =
      config("C:\\Users\\Ana\xE2\x80\x99s PC\\V.exe", "C:\\\xE2\x80\x98x\xE2\x80\x9By");
  const std::string text = startup_task_script(typographic);
  EXPECT_NE(text.find("'C:\\Users\\Ana\xE2\x80\x99\xE2\x80\x99s PC\\V.exe'"), std::string::npos);
  EXPECT_NE(text.find("'C:\\\xE2\x80\x98\xE2\x80\x98x\xE2\x80\x9B\xE2\x80\x9By'"),
            std::string::npos);
  // Other characters of that block pass as they are.
  auto dash = config(
      "C:\\a\xE2\x80\x94"
      "b.exe",
      "C:\\a");
  EXPECT_NE(startup_task_script(dash).find("'C:\\a\xE2\x80\x94"
                                           "b.exe'"),
            std::string::npos);
}

TEST(AutostartDesktopFile, APlainInstallation) {
  EXPECT_EQ(autostart_desktop_file(config("/opt/vantriel/vantriel", "/opt/vantriel")),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Version=1.0\n"
            "Name=Vantriel\n"
            "Comment=Abre Vantriel en la bandeja del sistema al iniciar sesion.\n"
            "Exec=\"/opt/vantriel/vantriel\" --startup\n"
            "Path=/opt/vantriel\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n"
            "X-GNOME-Autostart-Delay=20\n");
}

std::string line_of(const std::string& file, const std::string& key) {
  std::size_t at = file.find("\n" + key + "=");
  if (at == std::string::npos) return "(none)";
  at += key.size() + 2;
  return file.substr(at, file.find('\n', at) - at);
}

TEST(AutostartDesktopFile, ExecAndPathAreEscapedTwice) {
  // Quoting for the Exec line, then the string escapes of the format over the whole value:
  // a backslash becomes four, a quote \\" , a dollar \\$ , a backtick \\` ; a percent
  // sign is doubled; non-ASCII text passes as UTF-8.
  const std::string dir = "/home/zoë/Mis Apps/a\"b\\c$d`e%f";
  auto c = config(dir + "/vantriel", dir);
  const std::string file = autostart_desktop_file(c);
  EXPECT_EQ(line_of(file, "Exec"),
            R"("/home/zoë/Mis Apps/a\\"b\\\\c\\$d\\`e%%f/vantriel" --startup)");
  EXPECT_EQ(line_of(file, "Path"), R"(/home/zoë/Mis Apps/a"b\\c$d`e%f)");
}

TEST(AutostartDesktopFile, ValuesStayOnTheirLine) {
  auto c = config("/opt/v/vantriel", " /srv/v");
  c.name = "Van\ntriel";
  c.description = "";
  const std::string file = autostart_desktop_file(c);
  EXPECT_EQ(line_of(file, "Name"), "Van\\ntriel");
  EXPECT_EQ(line_of(file, "Path"), "\\s/srv/v");
  EXPECT_EQ(line_of(file, "Comment"), "(none)");
  EXPECT_EQ(autostart_desktop_file(config("/opt/v/vantriel", "")).find("Path="), std::string::npos);
}

TEST(AutostartFolder, FromTheEnvironment) {
  EXPECT_EQ(autostart_folder_for("/x/config", "/home/ana"),
            std::filesystem::path("/x/config/autostart"));
  // A relative XDG_CONFIG_HOME is invalid and ignored, as is an empty one.
  EXPECT_EQ(autostart_folder_for("config", "/home/ana"),
            std::filesystem::path("/home/ana/.config/autostart"));
  EXPECT_EQ(autostart_folder_for("", "/home/ana"),
            std::filesystem::path("/home/ana/.config/autostart"));
  EXPECT_EQ(autostart_folder_for(nullptr, nullptr), std::filesystem::path());
  EXPECT_EQ(autostart_folder_for(nullptr, ""), std::filesystem::path());
}

}  // namespace
}  // namespace morvane
