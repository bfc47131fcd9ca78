// The app window on Windows: the browser from App Paths and the program-files folders,
// the profile's processes by their command lines, the window by EnumWindows.
#include "morvane/core/shell/app_window.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwctype>

#include "morvane/core/shell/process_win.h"
#include "morvane/core/shell/shell.h"

namespace morvane {
namespace {

struct Browser {
  const wchar_t* executable;
  const wchar_t* folder;  // below a program-files root
};

// In order of preference: an Edge found anywhere wins over Chrome.
constexpr std::array<Browser, 5> kBrowsers = {{
    {L"msedge.exe", L"Microsoft\\Edge\\Application"},
    {L"chrome.exe", L"Google\\Chrome\\Application"},
    {L"brave.exe", L"BraveSoftware\\Brave-Browser\\Application"},
    {L"vivaldi.exe", L"Vivaldi\\Application"},
    {L"opera.exe", L"Programs\\Opera"},
}};

std::wstring lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return text;
}

std::wstring strip_quotes(std::wstring text) {
  while (!text.empty() && text.front() == L'"') text.erase(text.begin());
  while (!text.empty() && text.back() == L'"') text.pop_back();
  return text;
}

// The default value of the browser's App Paths key, or nothing.
std::optional<std::wstring> app_path(HKEY root, const wchar_t* executable) {
  std::wstring key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
  key += executable;
  std::array<wchar_t, 1024> buffer{};
  DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buffer.data(), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  buffer.back() = L'\0';
  std::wstring value = strip_quotes(buffer.data());  // cut at the first NUL
  if (value.empty()) return std::nullopt;
  return value;
}

std::optional<std::wstring> environment(const wchar_t* name) {
  DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(name, value.data(), n);
  value.resize(n);
  return value;
}

bool is_regular_file(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring join(std::wstring folder, const std::wstring& rest) {
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder.push_back(L'\\');
  return folder + rest;
}

// NtQueryInformationProcess is not in the import libraries every toolchain ships; ntdll
// is loaded in every process, so it is looked up there once.
using NtQueryInformationProcessFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kProcessCommandLineInformation = 60;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

NtQueryInformationProcessFn query_information_process() {
  static const NtQueryInformationProcessFn fn = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<NtQueryInformationProcessFn>(reinterpret_cast<void*>(
                                  GetProcAddress(ntdll, "NtQueryInformationProcess")));
  }();
  return fn;
}

struct CountedText {  // UNICODE_STRING, which the answer starts with
  USHORT length;      // in bytes
  USHORT maximum_length;
  PWSTR buffer;       // points into the same answer
};

std::optional<std::wstring> process_command_line(DWORD pid) {
  NtQueryInformationProcessFn query = query_information_process();
  if (query == nullptr) return std::nullopt;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return std::nullopt;
  std::vector<unsigned char> buffer(8192);
  ULONG needed = 0;
  LONG status = query(process, kProcessCommandLineInformation, buffer.data(),
                      static_cast<ULONG>(buffer.size()), &needed);
  if (status < 0 && needed > buffer.size()) {
    buffer.assign(needed, 0);
    status = query(process, kProcessCommandLineInformation, buffer.data(),
                   static_cast<ULONG>(buffer.size()), &needed);
  }
  CloseHandle(process);
  if (status < 0 || buffer.size() < sizeof(CountedText)) return std::nullopt;
  CountedText text;
  std::memcpy(&text, buffer.data(), sizeof text);
  const auto* begin = reinterpret_cast<const unsigned char*>(text.buffer);
  if (text.buffer == nullptr || begin < buffer.data() ||
      begin + text.length > buffer.data() + buffer.size()) {
    return std::wstring();
  }
  return std::wstring(text.buffer, text.length / sizeof(wchar_t));
}

bool is_browser_name(const wchar_t* name) {
  std::wstring lowered = lower(name);
  return std::any_of(kBrowsers.begin(), kBrowsers.end(),
                     [&](const Browser& b) { return lowered == b.executable; });
}

HWND handle(NativeWindow window) { return reinterpret_cast<HWND>(window); }

struct WindowSearch {
  std::wstring title;
  const std::vector<std::uint64_t>* pids;
  HWND found = nullptr;
};

BOOL CALLBACK match_window(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  std::array<wchar_t, 64> class_name{};
  int n = GetClassNameW(window, class_name.data(), static_cast<int>(class_name.size()));
  if (std::wstring_view(class_name.data(), static_cast<std::size_t>(std::max(n, 0)))
          .rfind(L"Chrome_WidgetWin", 0) != 0) {
    return TRUE;
  }
  std::array<wchar_t, 256> title{};
  n = GetWindowTextW(window, title.data(), static_cast<int>(title.size()));
  if (std::wstring_view(title.data(), static_cast<std::size_t>(std::max(n, 0)))
          .rfind(search->title, 0) != 0) {
    return TRUE;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (std::find(search->pids->begin(), search->pids->end(), pid) == search->pids->end()) {
    return TRUE;
  }
  search->found = window;
  return FALSE;
}

class WindowsAppWindowPlatform final : public AppWindowPlatform {
 public:
  std::optional<BrowserChoice> find_browser() override {
    static constexpr std::array<const wchar_t*, 3> kRoots = {L"ProgramFiles(x86)", L"ProgramFiles",
                                                             L"LOCALAPPDATA"};
    for (const Browser& browser : kBrowsers) {
      std::vector<std::wstring> candidates;
      for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        if (auto path = app_path(root, browser.executable)) candidates.push_back(*path);
      }
      for (const wchar_t* variable : kRoots) {
        if (auto root = environment(variable)) {
          candidates.push_back(join(join(*root, browser.folder), browser.executable));
        }
      }
      for (const std::wstring& candidate : candidates) {
        if (is_regular_file(candidate)) {
          return BrowserChoice{std::filesystem::path(candidate), win::narrow(browser.executable)};
        }
      }
    }
    return std::nullopt;
  }

  std::vector<std::uint64_t> find_profile_processes(const std::filesystem::path& profile) override {
    std::vector<std::uint64_t> pids;
    const std::string wanted = win::narrow(profile.wstring());
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return pids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      if (!is_browser_name(entry.szExeFile)) continue;
      std::optional<std::wstring> line = process_command_line(entry.th32ProcessID);
      if (!line) continue;
      std::optional<std::string> folder = user_data_dir_argument(win::narrow(*line));
      if (folder && same_profile_folder(*folder, wanted, FolderRules::kWindows)) pids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return pids;
  }

  std::optional<NativeWindow> find_window(std::string_view title,
                                          const std::vector<std::uint64_t>& pids) override {
    WindowSearch search{win::wide(title), &pids};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) return std::nullopt;
    return reinterpret_cast<NativeWindow>(search.found);
  }

  void focus(NativeWindow window) override {
    ShowWindow(handle(window), SW_SHOW);
    if (IsIconic(handle(window))) ShowWindow(handle(window), SW_RESTORE);
    SetForegroundWindow(handle(window));
  }

  void hide(NativeWindow window) override { ShowWindow(handle(window), SW_HIDE); }

  bool is_visible(NativeWindow window) override {
    return IsWindowVisible(handle(window)) && !IsIconic(handle(window));
  }

  void close(NativeWindow window) override { PostMessageW(handle(window), WM_CLOSE, 0, 0); }

  void end_processes(const std::vector<std::uint64_t>& pids) override {
    for (std::uint64_t pid : pids) {
      HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
      if (process == nullptr) continue;
      TerminateProcess(process, 0);
      CloseHandle(process);
    }
  }

  bool start(const std::filesystem::path& browser,
             const std::vector<std::string>& arguments) override {
    std::wstring line = win::command_line(browser.wstring(), arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(browser.wstring().c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process)) {
      return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }

  bool open_url(const std::string& url) override { return shell_open(url); }
};

}  // namespace

std::unique_ptr<AppWindowPlatform> make_app_window_platform() {
  return std::make_unique<WindowsAppWindowPlatform>();
}

}  // namespace morvane
