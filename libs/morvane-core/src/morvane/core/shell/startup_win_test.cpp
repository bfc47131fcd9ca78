// Start at log-on against stand-in schtasks.exe and powershell.exe in a stand-in system
// folder, named through the configuration: they record their arguments and keep the
// "task" as a file in that folder. Copies planted in the current folder, which a search
// by bare name would find first, are never run.
#include "morvane/core/shell/startup.h"

#include <gtest/gtest.h>

#include "morvane/core/shell/testing/standin_win.h"

namespace morvane {
namespace {

using testing::recorded_runs;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::place_standin(tools() / "schtasks.exe");
    testing::place_standin(powershell_exe());
    testing::place_standin(planted() / "schtasks.exe");
    testing::place_standin(planted() / "powershell.exe");
    wchar_t old[MAX_PATH * 2] = {};
    GetCurrentDirectoryW(MAX_PATH * 2, old);
    old_folder_ = old;
    SetCurrentDirectoryW(planted().c_str());
    config_.system_folder = tools();

    config_.name = "Vantriel";
    // A quote, blanks and non-ASCII letters, as an installation folder may have.
    std::filesystem::path install = std::filesystem::path(L"C:\\Program Files\\O'Brien Ñandú");
    config_.executable = install / "Vantriel.exe";
    config_.working_folder = install;
    config_.description = "Abre Vantriel en la bandeja del sistema al iniciar sesion.";
    config_.enabled_msg = "Vantriel se abrirá en la bandeja del sistema al iniciar Windows.";
    config_.disabled_msg = "Vantriel ya no se abrirá al iniciar Windows.";
    config_.enable_failed_msg =
        "No se pudo activar el inicio con Windows (requiere ejecutar Vantriel como "
        "administrador). ";
    config_.disable_failed_msg = "No se pudo quitar el inicio con Windows: ";
  }
  void TearDown() override {
    SetCurrentDirectoryW(old_folder_.c_str());
    EXPECT_TRUE(recorded_runs(planted() / "schtasks.exe").empty()) << "a planted schtasks ran";
    EXPECT_TRUE(recorded_runs(planted() / "powershell.exe").empty()) << "a planted powershell ran";
  }

  std::filesystem::path tools() const { return folder_.path() / "tools"; }
  std::filesystem::path powershell_exe() const {
    return tools() / "WindowsPowerShell" / "v1.0" / "powershell.exe";
  }
  std::filesystem::path planted() const { return folder_.path() / "planted"; }
  std::vector<std::vector<std::string>> schtasks_runs() const {
    return recorded_runs(tools() / "schtasks.exe");
  }

  testing::ScratchFolder folder_{L"vantriel startup"};
  std::wstring old_folder_;
  StartupConfig config_;
};

TEST_F(StartupTest, EnableRunsTheScriptWithQuotesDoubledAndReadsTheTaskBack) {
  EXPECT_FALSE(query_startup(config_).enabled);

  StartupChange change = set_startup(config_, true);
  EXPECT_TRUE(change.ok);
  EXPECT_EQ(change.msg, config_.enabled_msg);
  EXPECT_TRUE(change.enabled);
  EXPECT_TRUE(query_startup(config_).enabled);

  auto runs = recorded_runs(powershell_exe());
  ASSERT_EQ(runs.size(), 1u);
  std::string script = startup_task_script(config_);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"-NoProfile", "-ExecutionPolicy", "Bypass",
                                               "-Command", script}));
  // The path arrives whole, through the command line and in UTF-8, quote doubled.
  EXPECT_NE(script.find("-Execute 'C:\\Program Files\\O''Brien \xC3\x91\x61nd\xC3\xBA\\Vantriel.exe'"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("-WorkingDirectory 'C:\\Program Files\\O''Brien \xC3\x91\x61nd\xC3\xBA'"),
            std::string::npos)
      << script;
  EXPECT_EQ(schtasks_runs().back(), (std::vector<std::string>{"/Query", "/TN", "Vantriel"}));
}

TEST_F(StartupTest, EnableThatFailsShowsTheFirst200CharactersOfWhatPowerShellSaid) {
  testing::touch(powershell_exe().parent_path() / "powershell.fail");
  StartupChange change = set_startup(config_, true);
  EXPECT_FALSE(change.ok);
  EXPECT_FALSE(change.enabled);
  // Standard output, then standard error; the invalid byte replaced; 200 characters
  // counted as characters, then trimmed.
  std::string said = "primero \xC3\xB1\nsegundo \xEF\xBF\xBD" + std::string(179, 'x');
  EXPECT_EQ(change.msg, config_.enable_failed_msg + said);
}

TEST_F(StartupTest, DisableDeletesTheTaskAndAMissingTaskCountsAsDisabled) {
  testing::touch(tools() / "task");
  StartupChange change = set_startup(config_, false);
  EXPECT_TRUE(change.ok);
  EXPECT_EQ(change.msg, config_.disabled_msg);
  EXPECT_FALSE(change.enabled);
  auto runs = schtasks_runs();
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs[0], (std::vector<std::string>{"/Delete", "/TN", "Vantriel", "/F"}));

  change = set_startup(config_, false);  // schtasks fails: there is no task
  EXPECT_TRUE(change.ok);
  EXPECT_EQ(change.msg, config_.disabled_msg);
  EXPECT_FALSE(change.enabled);
}

TEST_F(StartupTest, DisableThatLeavesTheTaskSaysWhatSchtasksSaid) {
  testing::touch(tools() / "task");
  testing::touch(tools() / "schtasks.fail");
  StartupChange change = set_startup(config_, false);
  EXPECT_FALSE(change.ok);
  EXPECT_EQ(change.msg, config_.disable_failed_msg + "ERROR: Access is denied.");
  EXPECT_TRUE(change.enabled);
}

TEST_F(StartupTest, RunHiddenPassesEveryArgumentWholeAndReportsAProgramThatCannotStart) {
  std::vector<std::string> arguments = {"",           "two words", "say \"hi\"", "ends\\",
                                        "a\\\\\"b c", "\xC3\xB1" "and\xC3\xBA", "\t"};
  const std::u8string exe = (tools() / "schtasks.exe").u8string();
  HiddenRun run = run_hidden(std::string(exe.begin(), exe.end()), arguments);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, "ERROR: The system cannot find the file specified.\r\n");
  EXPECT_EQ(schtasks_runs().back(), arguments);

  run = run_hidden("no-such-program-here", {});
  EXPECT_EQ(run.exit_code, -1);
  EXPECT_FALSE(run.output.empty());
}

}  // namespace
}  // namespace morvane
