#include "morvane/core/shell/app_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

namespace morvane {
namespace {

using ::testing::ElementsAre;

// A desktop where browsers, processes and windows are whatever the test says, and every
// request is written down. Its clock moves only when open() pauses.
class FakeDesktop : public AppWindowPlatform {
 public:
  std::optional<BrowserChoice> find_browser() override {
    std::lock_guard<std::mutex> lock(mu);
    return browser;
  }
  std::vector<std::uint64_t> find_profile_processes(const std::filesystem::path& profile) override {
    std::lock_guard<std::mutex> lock(mu);
    auto it = processes.find(profile.string());
    return it == processes.end() ? std::vector<std::uint64_t>{} : it->second;
  }
  std::optional<NativeWindow> find_window(std::string_view title,
                                          const std::vector<std::uint64_t>& pids) override {
    std::lock_guard<std::mutex> lock(mu);
    if (finds_until_window > 0 && --finds_until_window == 0) window = 77;
    if (!window || title != "Vantriel" || pids.empty()) return std::nullopt;
    return window;
  }
  void focus(NativeWindow w) override { log("focus " + std::to_string(w)); }
  void hide(NativeWindow w) override { log("hide " + std::to_string(w)); }
  bool is_visible(NativeWindow) override { return visible; }
  void close(NativeWindow w) override { log("close " + std::to_string(w)); }
  void end_processes(const std::vector<std::uint64_t>& pids) override {
    std::string line = "end";
    for (auto p : pids) line += " " + std::to_string(p);
    log(line);
    std::lock_guard<std::mutex> lock(mu);
    processes.clear();
  }
  bool start(const std::filesystem::path& path, const std::vector<std::string>& args) override {
    log("start " + path.string());
    std::lock_guard<std::mutex> lock(mu);
    last_args = args;
    if (!start_ok) return false;
    // The new browser runs with the profile named in its arguments.
    for (const auto& a : args) {
      if (a.starts_with("--user-data-dir=")) processes[a.substr(16)] = {500};
    }
    finds_until_window = window_after_finds;
    return true;
  }
  bool start_with_environment(const std::filesystem::path& path,
                              const std::vector<std::string>& args,
                              const std::vector<std::string>& env) override {
    {
      std::lock_guard<std::mutex> lock(mu);
      last_env = env;
    }
    return start(path, args);
  }
  bool open_url(const std::string& url) override {
    log("open_url " + url);
    return true;
  }
  std::chrono::steady_clock::time_point now() override {
    std::lock_guard<std::mutex> lock(mu);
    return clock;
  }
  void pause(std::chrono::milliseconds d) override {
    std::lock_guard<std::mutex> lock(mu);
    clock += d;
    ++pauses;
    // The other thread of the concurrency test gets its turn.
    std::this_thread::yield();
  }

  void log(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu);
    calls.push_back(line);
  }
  std::vector<std::string> taken_calls() {
    std::lock_guard<std::mutex> lock(mu);
    return std::exchange(calls, {});
  }

  std::mutex mu;
  std::optional<BrowserChoice> browser = BrowserChoice{"/usr/bin/chromium", "chromium"};
  std::map<std::string, std::vector<std::uint64_t>> processes;
  std::optional<NativeWindow> window;
  int window_after_finds = 0;  // after a start, the window shows at this find (0: never)
  int finds_until_window = 0;
  bool visible = true;
  bool start_ok = true;
  std::vector<std::string> calls;
  std::vector<std::string> last_args;
  std::vector<std::string> last_env;
  std::chrono::steady_clock::time_point clock{std::chrono::hours(1)};
  int pauses = 0;
};

class AppWindowTest : public ::testing::Test {
 protected:
  AppWindowTest() {
    auto fake = std::make_unique<FakeDesktop>();
    desk = fake.get();
    window = std::make_unique<AppWindow>(AppWindowConfig{"Vantriel", "/data"}, std::move(fake));
    window->set_url("http://127.0.0.1:8800/");
  }
  // As the window writes it on this platform ("/data\ventana_chromium" on Windows).
  std::string profile() const {
    return (std::filesystem::path("/data") / "ventana_chromium").string();
  }

  FakeDesktop* desk;
  std::unique_ptr<AppWindow> window;
};

TEST_F(AppWindowTest, ProfileFolderPerBrowser) {
  EXPECT_EQ(window->profile_dir("msedge.exe"), std::filesystem::path("/data/ventana"));
  EXPECT_EQ(window->profile_dir("chrome.exe"), std::filesystem::path("/data/ventana_chrome"));
  EXPECT_EQ(window->profile_dir("opera.exe"), std::filesystem::path("/data/ventana_opera"));
  EXPECT_EQ(window->profile_dir("chromium"), std::filesystem::path("/data/ventana_chromium"));
  EXPECT_EQ(window->profile_dir("microsoft-edge"),
            std::filesystem::path("/data/ventana_microsoft-edge"));
}

TEST_F(AppWindowTest, FirstOpenStartsTheBrowserWithTheProgramsProfile) {
  window->open();
  EXPECT_THAT(desk->taken_calls(), ElementsAre("start /usr/bin/chromium"));
  ASSERT_EQ(desk->last_args.size(), 16u);
  EXPECT_EQ(desk->last_args[0], "--app=http://127.0.0.1:8800/");
  EXPECT_EQ(desk->last_args[1], "--window-size=1440,920");
  EXPECT_EQ(desk->last_args[2], "--user-data-dir=" + profile());
  EXPECT_EQ(desk->last_args[13],
            "--disable-features=Translate,msEdgeSidebarV2,CalculateNativeWinOcclusion");
  EXPECT_EQ(desk->last_args[14], "--force-fieldtrials=WebRTC-ForcePlayoutDelay/min_ms:0,max_ms:0/");
  EXPECT_EQ(desk->last_args[15], "--ozone-platform-hint=auto");
  EXPECT_EQ(desk->pauses, 0);
}

// A platform's own switches join the window's: feature lists merge into the one switch
// of that name the browser keeps, the rest follow; the environment is asked at each start.
TEST(AppWindowSwitches, PlatformSwitchesMergeIntoTheFeatureLists) {
  auto fake = std::make_unique<FakeDesktop>();
  FakeDesktop* desk = fake.get();
  int asked = 0;
  AppWindow window(AppWindowConfig{"Vantriel", "/data"}, std::move(fake),
                   BrowserExtras{{"--enable-features=PulseaudioLoopbackForScreenShare",
                                  "--system-audio-capture-default_checked",
                                  "--disable-features=WebRtcAllowInputVolumeAdjustment",
                                  "--disable-features="},
                                 [&asked] {
                                   ++asked;
                                   return std::vector<std::string>{"PULSE_SINK=altavoces"};
                                 }});
  window.set_url("http://127.0.0.1:8800/");
  window.open();
  const auto& args = desk->last_args;
  ASSERT_EQ(args.size(), 19u);
  EXPECT_EQ(args[13],
            "--disable-features=Translate,msEdgeSidebarV2,CalculateNativeWinOcclusion,"
            "WebRtcAllowInputVolumeAdjustment");
  EXPECT_EQ(args[16], "--enable-features=PulseaudioLoopbackForScreenShare");
  EXPECT_EQ(args[17], "--system-audio-capture-default_checked");
  EXPECT_EQ(args[18], "--disable-features=");  // an empty list adds nothing to merge
  EXPECT_EQ(std::count_if(args.begin(), args.end(),
                          [](const std::string& a) { return a.starts_with("--enable-features="); }),
            1);
  EXPECT_EQ(desk->last_env, std::vector<std::string>{"PULSE_SINK=altavoces"});
  EXPECT_EQ(asked, 1);
  // Without platform switches the arguments stay exactly the window's own.
  EXPECT_EQ(app_window_arguments("u", "/p", {}), app_window_arguments("u", "/p"));
  EXPECT_EQ(app_window_arguments("u", "/p").size(), 16u);
}

TEST_F(AppWindowTest, AnExistingWindowIsBroughtUpNotStartedAgain) {
  desk->processes[profile()] = {31};
  desk->window = 9;
  window->open();
  EXPECT_THAT(desk->taken_calls(), ElementsAre("focus 9"));
}

TEST_F(AppWindowTest, ASecondOpenWithinTwelveSecondsWaitsForTheFirstWindow) {
  desk->window_after_finds = 4;  // the window shows about a second after the start
  window->open();
  window->open();
  EXPECT_THAT(desk->taken_calls(), ElementsAre("start /usr/bin/chromium", "focus 77"));
  EXPECT_EQ(desk->pauses, 3);
}

TEST_F(AppWindowTest, AfterFortyEightTriesTheStrayIsEndedAndTheBrowserStartedAgain) {
  window->open();  // a browser that never shows its window
  desk->taken_calls();
  window->open();
  EXPECT_EQ(desk->pauses, 48);
  EXPECT_THAT(desk->taken_calls(), ElementsAre("end 500", "start /usr/bin/chromium"));
  // Twelve seconds have passed on the fake clock since the last start, and none since
  // this one: a third open waits again.
  window->open();
  EXPECT_EQ(desk->pauses, 96);
}

TEST_F(AppWindowTest, NoWaitOnceTheLastStartIsTwelveSecondsOld) {
  window->open();
  desk->clock += std::chrono::seconds(12);
  desk->taken_calls();
  window->open();
  EXPECT_EQ(desk->pauses, 0);
  EXPECT_THAT(desk->taken_calls(), ElementsAre("end 500", "start /usr/bin/chromium"));
}

TEST_F(AppWindowTest, StrayProcessesOfTheProfileEndBeforeANewStart) {
  desk->processes[profile()] = {11, 12};
  desk->processes[(std::filesystem::path("/data") / "ventana_chrome").string()] = {
      40};  // another browser's profile: not ours to end
  window->open();
  EXPECT_THAT(desk->taken_calls(), ElementsAre("end 11 12", "start /usr/bin/chromium"));
}

TEST_F(AppWindowTest, FallsBackToTheDefaultHandler) {
  desk->start_ok = false;
  window->open();
  EXPECT_THAT(desk->taken_calls(),
              ElementsAre("start /usr/bin/chromium", "open_url http://127.0.0.1:8800/"));

  desk->browser.reset();
  desk->clock += std::chrono::seconds(20);
  window->open();
  EXPECT_THAT(desk->taken_calls(), ElementsAre("open_url http://127.0.0.1:8800/"));
}

TEST_F(AppWindowTest, NothingToShowBeforeTheAddressIsKnown) {
  window->set_url("");
  window->open();
  EXPECT_TRUE(desk->taken_calls().empty());
}

TEST_F(AppWindowTest, TwoOpensAtOnceStartOneBrowser) {
  desk->window_after_finds = 6;
  std::thread other([this] { window->open(); });
  window->open();
  other.join();
  auto calls = desk->taken_calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "start /usr/bin/chromium"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "focus 77"), 1);
}

TEST_F(AppWindowTest, QueriesAndRequestsGoToTheFoundWindow) {
  EXPECT_FALSE(window->exists());
  EXPECT_FALSE(window->is_shown());
  window->hide();
  window->close();
  EXPECT_TRUE(desk->taken_calls().empty());

  desk->processes[profile()] = {31};
  desk->window = 9;
  EXPECT_TRUE(window->exists());
  EXPECT_TRUE(window->is_shown());
  desk->visible = false;  // minimised or hidden: there, but not shown
  EXPECT_TRUE(window->exists());
  EXPECT_FALSE(window->is_shown());
  window->hide();
  window->close();
  EXPECT_THAT(desk->taken_calls(), ElementsAre("hide 9", "close 9"));
}

TEST(UserDataDirArgument, QuotedUnquotedAndMissing) {
  EXPECT_EQ(
      user_data_dir_argument(
          R"(chrome.exe --type=renderer --user-data-dir="C:/Users/Ana/App Data/ventana_chrome" --lang=es)"),
      "C:/Users/Ana/App Data/ventana_chrome");
  // Unquoted, the value runs to the next switch, spaces and all.
  EXPECT_EQ(user_data_dir_argument(
                R"(msedge.exe --user-data-dir=C:\Program Data\ventana  --no-first-run)"),
            R"(C:\Program Data\ventana)");
  EXPECT_EQ(user_data_dir_argument("chrome --user-data-dir=/home/ana/ventana_chrome  "),
            "/home/ana/ventana_chrome");
  EXPECT_EQ(user_data_dir_argument("chrome.exe --USER-DATA-DIR=C:\\V\\Ventana"), "C:\\V\\Ventana");
  EXPECT_EQ(user_data_dir_argument(R"(x --user-data-dir="C:\open ended)"), R"(C:\open ended)");
  EXPECT_EQ(user_data_dir_argument(R"(x --user-data-dir=a --user-data-dir=b)"), "a");
  EXPECT_EQ(user_data_dir_argument("chrome.exe --type=gpu-process"), std::nullopt);
  EXPECT_EQ(user_data_dir_argument(R"(x --user-data-dir="" --y)"), std::nullopt);
  EXPECT_EQ(user_data_dir_argument("x --user-data-dir="), std::nullopt);
}

TEST(UserDataDirArgument, AWhollyQuotedSwitchMatchesTheFolder) {
  auto value = user_data_dir_argument(
      R"(chrome.exe "--user-data-dir=C:\Users\Ana\data\ventana_chrome" --x)");
  ASSERT_TRUE(value);
  EXPECT_TRUE(
      same_profile_folder(*value, R"(C:\Users\Ana\data\ventana_chrome)", FolderRules::kWindows));
}

TEST(SameProfileFolder, WindowsRules) {
  const auto w = FolderRules::kWindows;
  EXPECT_TRUE(same_profile_folder(R"("C:/Users/Ana/Data/ventana_chrome/")",
                                  R"(c:\users\ana\data\VENTANA_CHROME)", w));
  EXPECT_TRUE(same_profile_folder(R"(C:\d\ventana\\)", R"(C:\d\ventana)", w));
  EXPECT_FALSE(same_profile_folder(R"(C:\d\ventana)", R"(C:\d\ventana_chrome)", w));
  EXPECT_FALSE(same_profile_folder("", "", w));
  EXPECT_FALSE(same_profile_folder(R"("")", "", w));
}

TEST(SameProfileFolder, PosixRules) {
  const auto p = FolderRules::kPosix;
  EXPECT_TRUE(same_profile_folder("\"/home/ana/.local/vantriel//data/ventana_chromium/\"",
                                  "/home/ana/.local/vantriel/data/ventana_chromium", p));
  EXPECT_FALSE(same_profile_folder("/home/ana/Ventana_chromium", "/home/ana/ventana_chromium", p));
  // A backslash is part of a POSIX name, not a separator.
  EXPECT_FALSE(same_profile_folder("/home/ana\\ventana", "/home/ana/ventana", p));
  EXPECT_FALSE(same_profile_folder("/", "", p));
  // This platform's own rules.
  const auto here = std::filesystem::path::preferred_separator == '\\' ? FolderRules::kWindows
                                                                       : FolderRules::kPosix;
  EXPECT_EQ(same_profile_folder("/a/B/", "/a/b"), same_profile_folder("/a/B/", "/a/b", here));
}

}  // namespace
}  // namespace morvane
