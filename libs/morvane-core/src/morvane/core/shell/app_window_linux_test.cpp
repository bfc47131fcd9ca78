#include "morvane/core/shell/app_window_linux.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "morvane/core/shell/spawn_linux.h"

extern char** environ;

namespace morvane {
namespace {

TEST(LinuxBrowserCandidates, ChromiumFirstPathBeforeInstallFolders) {
  auto list = linux_browser_candidates("/home/ana/bin::relative/bin:/usr/bin");
  ASSERT_GE(list.size(), 6u);
  // Chromium's command names in each absolute PATH folder, then its install folders.
  EXPECT_EQ(list[0].path, "/home/ana/bin/chromium");
  EXPECT_EQ(list[1].path, "/usr/bin/chromium");
  EXPECT_EQ(list[2].path, "/home/ana/bin/chromium-browser");
  EXPECT_EQ(list[3].path, "/usr/bin/chromium-browser");
  EXPECT_EQ(list[4].path, "/usr/bin/chromium");
  for (const auto& c : list) {
    EXPECT_TRUE(c.path.is_absolute()) << c.path;  // never the current or a relative folder
  }
  // Every family comes, in the order of preference, each under one name.
  std::vector<std::string> families;
  for (const auto& c : list) {
    if (families.empty() || families.back() != c.executable) families.push_back(c.executable);
  }
  EXPECT_EQ(families, (std::vector<std::string>{"chromium", "google-chrome", "microsoft-edge",
                                                "brave", "vivaldi", "opera"}));
  EXPECT_EQ(linux_browser_candidates("").front().path, "/usr/bin/chromium");
}

TEST(LinuxBrowserProcesses, NamesAndCommandLines) {
  for (const char* name :
       {"chromium", "chrome", "msedge", "brave", "vivaldi-bin", "opera", "chromium (deleted)"}) {
    EXPECT_TRUE(is_browser_process_name(name)) << name;
  }
  for (const char* name : {"", "chromium-wrapper", "sh", "chrome_crashpad_handler", "firefox"}) {
    EXPECT_FALSE(is_browser_process_name(name)) << name;
  }

  using namespace std::string_literals;
  // One argument is one value, spaces and " --" included: /proc keeps arguments apart.
  EXPECT_EQ(user_data_dir_of_cmdline("/usr/lib/chromium/chromium\0--app=x\0"
                                     "--user-data-dir=/home/ana/Mis datos --x/ventana_chromium\0"
                                     "--user-data-dir=/other\0"s),
            "/home/ana/Mis datos --x/ventana_chromium");
  EXPECT_EQ(user_data_dir_of_cmdline("chromium\0--user-data-dir=/last"s), "/last");
  EXPECT_EQ(user_data_dir_of_cmdline("chromium\0--type=zygote\0"s), std::nullopt);
  EXPECT_EQ(user_data_dir_of_cmdline("chromium\0--user-data-dir=\0"s), std::nullopt);
  // Not a prefix of the switch somewhere inside another argument.
  EXPECT_EQ(user_data_dir_of_cmdline("chromium\0--app=http://x/?--user-data-dir=/p\0"s),
            std::nullopt);
  EXPECT_EQ(user_data_dir_of_cmdline(""), std::nullopt);
  // A running Chromium's rewritten title: one text, blanks inside values and all.
  EXPECT_EQ(user_data_dir_of_cmdline("/usr/lib/chromium/chromium --type=renderer "
                                     "--enable-crash-reporter=,built on Debian GNU/Linux 12 "
                                     "--user-data-dir=/home/ana/Mis datos/ventana_chromium "
                                     "--lang=es\0\0\0"s),
            "/home/ana/Mis datos/ventana_chromium");

  // The main process is the one without a process type, in either form of the text.
  EXPECT_TRUE(is_browser_main_process("chromium\0--app=http://x/?--type=a\0--user-data-dir=/p\0"s));
  EXPECT_FALSE(is_browser_main_process("chromium\0--type=renderer\0--user-data-dir=/p\0"s));
  EXPECT_FALSE(is_browser_main_process("/usr/lib/chromium/chromium --type=gpu-process "
                                       "--user-data-dir=/p\0\0"s));
  EXPECT_TRUE(is_browser_main_process("/usr/lib/chromium/chromium --user-data-dir=/p\0\0"s));
  EXPECT_FALSE(is_browser_main_process(""));

  // Whose windows X11 cannot see: a Wayland session's, where the browser picks Wayland.
  EXPECT_TRUE(browser_windows_are_wayland("wayland", true, true));    // XWayland too
  EXPECT_TRUE(browser_windows_are_wayland("", true, false));          // only a Wayland socket
  EXPECT_FALSE(browser_windows_are_wayland("x11", true, true));
  EXPECT_FALSE(browser_windows_are_wayland("", true, true));          // taken as X11
  EXPECT_FALSE(browser_windows_are_wayland("wayland", false, true));  // no socket to use
}

// A real process that /proc shows as a browser of a profile: a copy of the shell named
// "chromium", waiting on its standard input.
class FakeBrowserProcess {
 public:
  FakeBrowserProcess(const std::filesystem::path& folder, const std::string& profile,
                     std::string type = "--no-type") {
    std::filesystem::create_directories(folder);
    const auto exe = folder / "chromium";
    std::filesystem::copy_file("/bin/sh", exe, std::filesystem::copy_options::overwrite_existing);
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::string arg0 = exe.string(), flag = "-c", script = "read line", name = "chromium",
                dir = "--user-data-dir=" + profile;
    char* argv[] = {arg0.data(), flag.data(), script.data(), name.data(),
                    type.data(), dir.data(), nullptr};
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    input_ = fds[1];
    // The copy has exec'd once /proc names it: this process, not another of the profile
    // (on a busy machine the second fake was taken for started by the first one's entry).
    auto platform = make_app_window_platform();
    const auto listed = [&] {
      const auto pids = platform->find_profile_processes(profile);
      return std::find(pids.begin(), pids.end(), static_cast<std::uint64_t>(pid)) != pids.end();
    };
    for (int i = 0; i < 400 && !listed(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~FakeBrowserProcess() {
    close(input_);
    if (pid <= 0) return;  // already reaped by the test
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  pid_t pid = -1;

 private:
  int input_ = -1;
};

class LinuxPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("morvane-shell-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder);
  }
  void TearDown() override { std::filesystem::remove_all(folder); }
  std::filesystem::path folder;
};

TEST_F(LinuxPlatformTest, FindsAndEndsTheProfilesProcessesOnly) {
  const std::string profile = (folder / "ventana_chromium").string();
  FakeBrowserProcess ours(folder / "a", profile);
  FakeBrowserProcess other(folder / "b", (folder / "ventana_chromium_other").string());
  auto platform = make_app_window_platform();

  EXPECT_EQ(platform->find_profile_processes(profile),
            std::vector<std::uint64_t>{static_cast<std::uint64_t>(ours.pid)});
  // Written as the command line may have it: quoted, with a trailing slash.
  EXPECT_EQ(platform->find_profile_processes("\"" + profile + "/\"").size(), 1u);

  // Ended although it stays a zombie of this test (its parent) until reaped.
  platform->end_processes({static_cast<std::uint64_t>(ours.pid)});
  EXPECT_TRUE(platform->find_profile_processes(profile).empty());
  EXPECT_EQ(platform->find_profile_processes((folder / "ventana_chromium_other").string()).size(),
            1u);
}

TEST_F(LinuxPlatformTest, StartedProgramsAreNotOurChildren) {
  std::error_code ec_;
  const auto marker = folder / "ran";
  auto platform = make_app_window_platform();
  ASSERT_TRUE(platform->start("/bin/sh", {"-c", "echo $PPID $$ > '" + marker.string() + "'"}));
  for (int i = 0; i < 400 && !std::filesystem::exists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::ifstream in(marker);
  long parent = 0, self = 0;
  in >> parent >> self;
  EXPECT_GT(self, 0);
  EXPECT_NE(parent, getpid());
  // The short-lived middle child was reaped: no child of this process is left.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);

  // The browser's environment: this process's own with the given entries in place.
  const auto env_marker = folder / "env";
  setenv("VTR_TEST_KEPT", "kept", 1);
  setenv("PULSE_SINK", "old", 1);
  ASSERT_TRUE(platform->start_with_environment(
      "/bin/sh", {"-c", "echo \"$PULSE_SINK $VTR_TEST_KEPT\" > '" + env_marker.string() + "'"},
      {"PULSE_SINK=altavoces"}));
  for (int i = 0; i < 400 && (!std::filesystem::exists(env_marker) || std::filesystem::file_size(env_marker, ec_) == 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::ifstream env_in(env_marker);
  std::string sink, kept;
  env_in >> sink >> kept;
  EXPECT_EQ(sink, "altavoces");
  EXPECT_EQ(kept, "kept");
  unsetenv("PULSE_SINK");
  unsetenv("VTR_TEST_KEPT");

  EXPECT_FALSE(platform->start(folder / "no-such-browser", {}));
  EXPECT_EQ(spawn_unowned("no-such-program-on-path", {}, true), ENOENT);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

// On Wayland the window is the browser's main process: found without X11, never raised
// or hidden from outside, and closed by ending that process.
TEST_F(LinuxPlatformTest, OnWaylandTheWindowIsTheBrowsersMainProcess) {
  const std::string profile = (folder / "ventana_chromium").string();
  FakeBrowserProcess renderer(folder / "r", profile, "--type=renderer");
  FakeBrowserProcess main(folder / "m", profile);
  const char* old_display = std::getenv("DISPLAY");
  const std::string display = old_display != nullptr ? old_display : "";
  setenv("WAYLAND_DISPLAY", "wayland-test", 1);
  setenv("XDG_SESSION_TYPE", "wayland", 1);
  setenv("DISPLAY", ":4095", 1);  // XWayland's: never asked
  auto platform = make_app_window_platform();
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("XDG_SESSION_TYPE");
  if (old_display != nullptr) setenv("DISPLAY", display.c_str(), 1); else unsetenv("DISPLAY");

  const auto pids = platform->find_profile_processes(profile);
  ASSERT_EQ(pids.size(), 2u);
  const auto window = platform->find_window("Vantriel", pids);
  ASSERT_EQ(window, static_cast<NativeWindow>(main.pid));
  EXPECT_EQ(platform->find_window("Vantriel", {static_cast<std::uint64_t>(renderer.pid)}),
            std::nullopt);
  platform->focus(*window);
  platform->hide(*window);
  EXPECT_FALSE(platform->is_visible(*window));
  platform->close(*window);
  int status = 0;
  ASSERT_EQ(waitpid(main.pid, &status, 0), main.pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  main.pid = -1;
  EXPECT_EQ(platform->find_profile_processes(profile),
            std::vector<std::uint64_t>{static_cast<std::uint64_t>(renderer.pid)});

  // A session that is Wayland by its socket alone (no type, no X display) tells the
  // browser so, whose screen capture takes the portal only then; a typed one is left as is.
  const auto typed = [&](const char* session_type) {
    setenv("WAYLAND_DISPLAY", "wayland-test", 1);
    if (session_type != nullptr) setenv("XDG_SESSION_TYPE", session_type, 1);
    unsetenv("DISPLAY");
    const auto marker = folder / (std::string("type-") + (session_type ? session_type : "none"));
    const std::string tmp = marker.string() + ".tmp";
    EXPECT_TRUE(make_app_window_platform()->start_with_environment(
        "/bin/sh",
        {"-c", "echo \"[$XDG_SESSION_TYPE]\" > '" + tmp + "' && mv '" + tmp + "' '" +
                   marker.string() + "'"},
        {}));
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("XDG_SESSION_TYPE");
    if (old_display != nullptr) setenv("DISPLAY", display.c_str(), 1);
    for (int i = 0; i < 400 && !std::filesystem::exists(marker); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::ifstream in(marker);
    std::string got;
    in >> got;
    return got;
  };
  EXPECT_EQ(typed(nullptr), "[wayland]");
  EXPECT_EQ(typed("tty"), "[wayland]");
  EXPECT_EQ(typed("wayland"), "[wayland]");
  EXPECT_EQ(typed("x11"), "[x11]");  // an X11 session's browser is an X11 one
}

TEST_F(LinuxPlatformTest, WithoutADisplayThereIsNoWindow) {
  auto platform = make_app_window_platform();
  const char* saved = std::getenv("DISPLAY");
  std::string keep = saved != nullptr ? saved : "";
  unsetenv("DISPLAY");
  EXPECT_EQ(platform->find_window("Vantriel", {1}), std::nullopt);
  EXPECT_FALSE(platform->is_visible(1));
  platform->focus(1);
  platform->close(1);
  if (saved != nullptr) setenv("DISPLAY", keep.c_str(), 1);
}

}  // namespace
}  // namespace morvane
