#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "morvane/core/shell/startup.h"

namespace morvane {
namespace {

TEST(RunHidden, ExitCodeAndBothStreamsInOrder) {
  auto run = run_hidden("sh", {"-c", "printf 'err ' >&2; printf 'out '; exit 3"});
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_EQ(run.output, "out err ");

  // Invalid UTF-8 becomes U+FFFD; valid text of any length passes.
  run = run_hidden("printf", {"a\\377b\\355\\240\\200c\\303\\251"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output,
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
            "c\xC3\xA9");

  run = run_hidden("no-such-program-anywhere", {});
  EXPECT_EQ(run.exit_code, -1);
  EXPECT_NE(run.output.find("No such file"), std::string::npos) << run.output;

  run = run_hidden("sh", {"-c", "kill -TERM $$"});
  EXPECT_EQ(run.exit_code, 128 + 15);
}

TEST(RunHidden, FullPipesOnBothStreamsDoNotStall) {
  // Far more than a pipe holds, on both streams at once: read in turn, or the child and
  // this process would wait on each other for good.
  auto run = run_hidden("sh", {"-c",
                               "head -c 300000 /dev/zero | tr '\\0' o; "
                               "head -c 300000 /dev/zero | tr '\\0' e >&2; "
                               "head -c 10 /dev/zero | tr '\\0' O"});
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.output.size(), 600010u);
  EXPECT_EQ(run.output.substr(299998, 4), "ooOO");
  EXPECT_EQ(run.output.back(), 'e');
}

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home = std::filesystem::temp_directory_path() /
           ("morvane-autostart-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home);
    config.name = "Vantriel";
    config.executable = "/opt/vantriel/vantriel";
    config.working_folder = "/opt/vantriel";
    config.description = "Abre Vantriel en la bandeja";
    config.enabled_msg = "on";
    config.disabled_msg = "off";
    config.enable_failed_msg = "could not enable: ";
    config.disable_failed_msg = "could not disable: ";
    config.autostart_folder = home / "config" / "autostart";
  }
  void TearDown() override { std::filesystem::remove_all(home); }

  std::filesystem::path file() const { return config.autostart_folder / "vantriel.desktop"; }
  std::string read(const std::filesystem::path& p) const {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::filesystem::path home;
  StartupConfig config;
};

TEST_F(AutostartTest, EnableWritesQueryReadsDisableRemoves) {
  EXPECT_FALSE(query_startup(config).enabled);
  EXPECT_TRUE(query_startup(config).supported);

  auto on = set_startup(config, true);  // the folder does not exist yet
  EXPECT_TRUE(on.ok);
  EXPECT_EQ(on.msg, "on");
  EXPECT_TRUE(on.enabled);
  EXPECT_EQ(read(file()), autostart_desktop_file(config));
  EXPECT_TRUE(query_startup(config).enabled);
  // Enabling again replaces the file whole, leaving no temporary file behind.
  EXPECT_TRUE(set_startup(config, true).ok);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(config.autostart_folder),
                          std::filesystem::directory_iterator()),
            1);

  auto off = set_startup(config, false);
  EXPECT_TRUE(off.ok);
  EXPECT_EQ(off.msg, "off");
  EXPECT_FALSE(off.enabled);
  EXPECT_FALSE(std::filesystem::exists(file()));
  // Disabling what is not there succeeds.
  off = set_startup(config, false);
  EXPECT_TRUE(off.ok);
  EXPECT_FALSE(off.enabled);
}

TEST_F(AutostartTest, AnEntryTheDesktopSwitchedOffReadsOff) {
  std::filesystem::create_directories(config.autostart_folder);
  for (const char* line : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
    std::ofstream(file()) << "[Desktop Entry]\nType=Application\n" << line << "\n";
    EXPECT_FALSE(query_startup(config).enabled) << line;
  }
  std::ofstream(file()) << "[Desktop Entry]\nHidden=false\n";
  EXPECT_TRUE(query_startup(config).enabled);
}

TEST_F(AutostartTest, FailuresSaySoAndReportTheState) {
  // The autostart "folder" is a file: nothing can be written into it.
  std::filesystem::create_directories(config.autostart_folder.parent_path());
  std::ofstream(config.autostart_folder) << "x";
  auto on = set_startup(config, true);
  EXPECT_FALSE(on.ok);
  EXPECT_TRUE(on.msg.starts_with("could not enable: ")) << on.msg;
  EXPECT_GT(on.msg.size(), std::string("could not enable: ").size());
  EXPECT_FALSE(on.enabled);

  config.autostart_folder.clear();  // no HOME, no XDG_CONFIG_HOME
  on = set_startup(config, true);
  EXPECT_FALSE(on.ok);
  EXPECT_FALSE(on.enabled);
  EXPECT_TRUE(set_startup(config, false).ok);

  if (geteuid() != 0) {  // root writes anywhere
    config.autostart_folder = home / "locked";
    std::filesystem::create_directories(config.autostart_folder);
    ASSERT_TRUE(set_startup(config, true).ok);
    std::filesystem::permissions(config.autostart_folder, std::filesystem::perms::owner_read |
                                                              std::filesystem::perms::owner_exec);
    auto off = set_startup(config, false);
    EXPECT_FALSE(off.ok);
    EXPECT_TRUE(off.msg.starts_with("could not disable: ")) << off.msg;
    EXPECT_TRUE(off.enabled);
    std::filesystem::permissions(config.autostart_folder, std::filesystem::perms::owner_all);
  }
}

}  // namespace
}  // namespace morvane
