// The app window on Windows against stand-in browsers: copies of desktop_standin.exe in
// program-files folders of a scratch folder (the roots point there for the test) and in
// App Paths, which record their arguments and open a Chrome_WidgetWin_1 window.
//
// Where the system cannot tell another process's command line (Wine 8 answers
// NtQueryInformationProcess class 60 with STATUS_INVALID_INFO_CLASS), the profile's
// processes come from the command lines the stand-ins recorded themselves, read by the
// same parsing; everything else is the real platform.
#include "morvane/core/shell/app_window.h"

#include <gtest/gtest.h>

#include <cwctype>

#include "morvane/core/shell/startup.h"
#include "morvane/core/shell/testing/standin_win.h"

namespace morvane {
namespace {

using testing::eventually;
using testing::recorded_runs;

bool command_lines_readable() {
  using Query = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  std::vector<unsigned char> buffer(8192);
  ULONG needed = 0;
  return query != nullptr &&
         query(GetCurrentProcess(), 60, buffer.data(), static_cast<ULONG>(buffer.size()),
               &needed) >= 0;
}

class RecordedCommandLines final : public AppWindowPlatform {
 public:
  explicit RecordedCommandLines(std::filesystem::path browser) : browser_(std::move(browser)) {}

  std::optional<BrowserChoice> find_browser() override { return real_->find_browser(); }
  std::vector<std::uint64_t> find_profile_processes(const std::filesystem::path& profile) override {
    if (command_lines_readable()) return real_->find_profile_processes(profile);
    std::vector<std::uint64_t> pids;
    auto wanted = profile.u8string();
    for (const auto& process : testing::recorded_processes(browser_)) {
      HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process.pid);
      if (handle == nullptr) continue;
      bool running = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
      CloseHandle(handle);
      auto folder = user_data_dir_argument(process.command_line);
      if (running && folder &&
          same_profile_folder(*folder, std::string(wanted.begin(), wanted.end()),
                              FolderRules::kWindows)) {
        pids.push_back(process.pid);
      }
    }
    return pids;
  }
  std::optional<NativeWindow> find_window(std::string_view title,
                                          const std::vector<std::uint64_t>& pids) override {
    return real_->find_window(title, pids);
  }
  void focus(NativeWindow window) override { real_->focus(window); }
  void hide(NativeWindow window) override { real_->hide(window); }
  bool is_visible(NativeWindow window) override { return real_->is_visible(window); }
  void close(NativeWindow window) override { real_->close(window); }
  void end_processes(const std::vector<std::uint64_t>& pids) override { real_->end_processes(pids); }
  bool start(const std::filesystem::path& browser, const std::vector<std::string>& arguments) override {
    return real_->start(browser, arguments);
  }
  bool open_url(const std::string& url) override { return real_->open_url(url); }

 private:
  const std::filesystem::path browser_;
  const std::unique_ptr<AppWindowPlatform> real_ = make_app_window_platform();
};

constexpr const char* kAppPaths = "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

class AppWindowWinTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& exe : registered_) {
      run_hidden("reg", {"delete", kAppPaths + exe, "/f"});
    }
  }

  // Registers `exe` in the current user's App Paths, the value in double quotes as
  // installers often write it.
  void register_app_path(const std::string& exe, const std::filesystem::path& path) {
    registered_.push_back(exe);
    HiddenRun run = run_hidden(
        "reg", {"add", kAppPaths + exe, "/ve", "/d", "\"" + utf8(path) + "\"", "/f"});
    ASSERT_EQ(run.exit_code, 0) << run.output;
  }

  static std::string utf8(const std::filesystem::path& path) {
    auto text = path.u8string();
    return std::string(text.begin(), text.end());
  }

  std::filesystem::path root() const { return folder_.path(); }

  testing::ScratchFolder folder_{L"vantriel ventana ñ"};
  testing::ScopedEnvironment x86_{L"ProgramFiles(x86)", (folder_.path() / L"x86").wstring()};
  testing::ScopedEnvironment program_files_{L"ProgramFiles", (folder_.path() / L"pf").wstring()};
  testing::ScopedEnvironment local_{L"LOCALAPPDATA", (folder_.path() / L"local").wstring()};
  std::vector<std::string> registered_;
  std::unique_ptr<AppWindowPlatform> platform_ = make_app_window_platform();
};

TEST_F(AppWindowWinTest, FindBrowserPrefersTheBrowserOrderThenTheRegistryThenTheFolders) {
  EXPECT_FALSE(platform_->find_browser());

  // A folder by the executable's name is no browser.
  std::filesystem::create_directories(root() / L"pf/Microsoft/Edge/Application/msedge.exe");
  auto chrome_folder = root() / L"pf/Google/Chrome/Application/chrome.exe";
  testing::place_standin(chrome_folder);
  auto found = platform_->find_browser();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->executable, "chrome.exe");
  EXPECT_EQ(found->path, chrome_folder);

  // For one browser the registry wins over the folders, and its quotes go.
  auto chrome_registered = root() / L"elsewhere ñ/chrome.exe";
  testing::place_standin(chrome_registered);
  register_app_path("chrome.exe", chrome_registered);
  found = platform_->find_browser();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path.wstring(), chrome_registered.wstring());

  // Edge under LOCALAPPDATA beats Chrome in App Paths.
  auto edge = root() / L"local/Microsoft/Edge/Application/msedge.exe";
  testing::place_standin(edge);
  found = platform_->find_browser();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->executable, "msedge.exe");
  EXPECT_EQ(found->path, edge);

  // A file that is no program does not start.
  std::filesystem::path text = root() / "not a program.exe";
  testing::touch(text);
  EXPECT_FALSE(platform_->start(text, {"--app=x"}));
}

class AppWindowLifeTest : public AppWindowWinTest {
 protected:
  void SetUp() override {
    testing::place_standin(browser_);
    window_.set_url(url_);
    platform_ = std::make_unique<RecordedCommandLines>(browser_);
  }
  void TearDown() override {
    platform_->end_processes(platform_->find_profile_processes(profile()));
    std::vector<std::uint64_t> started;
    for (const auto& process : testing::recorded_processes(browser_)) started.push_back(process.pid);
    platform_->end_processes(started);
    AppWindowWinTest::TearDown();
  }
  std::filesystem::path profile() const { return window_.profile_dir("chrome.exe"); }
  HWND hwnd() {
    auto pids = platform_->find_profile_processes(profile());
    auto found = platform_->find_window("Vantriel", pids);
    return found ? reinterpret_cast<HWND>(*found) : nullptr;
  }

  const std::string url_ = "http://127.0.0.1:8800/";
  std::filesystem::path browser_ = root() / L"pf/Google/Chrome/Application/chrome.exe";
  AppWindow window_{AppWindowConfig{"Vantriel", root() / L"Datos ñ"},
                    std::make_unique<RecordedCommandLines>(browser_)};
};

TEST_F(AppWindowLifeTest, OpensOnceThenFindsRestoresHidesAndClosesTheSameWindow) {
  window_.open();
  ASSERT_TRUE(eventually([&] { return window_.is_shown(); }));
  auto runs = recorded_runs(browser_);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], app_window_arguments(url_, profile()));
  ASSERT_EQ(runs[0].size(), 16u);

  // The profile's process is found by its command line, and only for its own profile.
  auto pids = platform_->find_profile_processes(profile());
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_TRUE(platform_->find_profile_processes(window_.profile_dir("msedge.exe")).empty());
  EXPECT_FALSE(platform_->find_window("Otra", pids));

  ShowWindow(hwnd(), SW_MINIMIZE);
  ASSERT_TRUE(eventually([&] { return !window_.is_shown(); }));
  EXPECT_TRUE(window_.exists());
  window_.open();  // restores the window, starts nothing
  EXPECT_TRUE(eventually([&] { return window_.is_shown(); }));
  EXPECT_FALSE(IsIconic(hwnd()));
  EXPECT_EQ(recorded_runs(browser_).size(), 1u);

  window_.hide();
  EXPECT_FALSE(IsWindowVisible(hwnd()));
  EXPECT_FALSE(window_.is_shown());
  EXPECT_TRUE(window_.exists());

  window_.close();
  EXPECT_TRUE(eventually([&] { return !window_.exists(); }));
  EXPECT_TRUE(eventually([&] { return platform_->find_profile_processes(profile()).empty(); }));
}

TEST_F(AppWindowLifeTest, ASecondOpenWaitsForTheWindowThatIsComingUp) {
  testing::ScopedEnvironment slow(L"STANDIN_WINDOW_DELAY_MS", L"2500");
  window_.open();
  EXPECT_FALSE(window_.exists());
  window_.open();  // within 12 s of the start: waits for the first window
  EXPECT_TRUE(window_.is_shown());
  EXPECT_EQ(recorded_runs(browser_).size(), 1u);
}

TEST_F(AppWindowLifeTest, AStrayProcessOfTheProfileIsEndedBeforeANewStart) {
  // As a browser's own launcher writes it: quoted, forward slashes, other case, a
  // trailing separator.
  std::wstring folder = profile().wstring();
  for (wchar_t& c : folder) c = c == L'\\' ? L'/' : static_cast<wchar_t>(towupper(c));
  std::wstring line = L"\"" + browser_.wstring() + L"\" --user-data-dir=\"" + folder +
                      L"/\" --standin-no-window";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION stray{};
  ASSERT_TRUE(CreateProcessW(browser_.wstring().c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                             nullptr, nullptr, &startup, &stray));
  CloseHandle(stray.hThread);
  ASSERT_TRUE(eventually([&] { return platform_->find_profile_processes(profile()).size() == 1; }));
  EXPECT_EQ(platform_->find_profile_processes(profile())[0], stray.dwProcessId);

  window_.open();
  EXPECT_EQ(WaitForSingleObject(stray.hProcess, 5000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(stray.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(stray.hProcess);
  EXPECT_TRUE(eventually([&] { return window_.is_shown(); }));
  EXPECT_EQ(recorded_runs(browser_).size(), 2u);
}

}  // namespace
}  // namespace morvane
