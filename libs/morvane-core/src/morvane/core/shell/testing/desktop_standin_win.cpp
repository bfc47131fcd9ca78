// A stand-in for the programs the desktop code starts, acting by the name it is copied
// under. Every run appends to "<name>.log" beside itself: a line "run", "pid <id>",
// "line <its command line>", then one line "arg <text>" per argument (UTF-8).
//
//   msedge.exe, chrome.exe, ...  a browser: a window of class Chrome_WidgetWin_1 titled
//                                "Vantriel", shown STANDIN_WINDOW_DELAY_MS after start
//                                (default 0); no window with --standin-no-window. Ends on
//                                WM_CLOSE or after two minutes.
//   schtasks.exe                 /Query and /Delete of one task, which exists while the
//                                file "task" beside it does; "schtasks.fail" makes /Delete
//                                fail with the task left in place.
//   powershell.exe               creates "task" (two folders up when it sits in
//                                WindowsPowerShell\v1.0, as in the system folder); with
//                                "powershell.fail" beside it, it writes a message (stdout,
//                                then stderr with an invalid byte and a long tail) and
//                                exits with 1.
#include <windows.h>
#include <shellapi.h>

#include <cwctype>
#include <string>
#include <vector>

namespace {

std::wstring folder;  // this program's folder, ending in "\"
std::wstring name;    // this program's file name, lower case

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

bool exists(const std::wstring& file) {
  return GetFileAttributesW((folder + file).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void record(const std::vector<std::wstring>& arguments) {
  std::string text = "run\npid " + std::to_string(GetCurrentProcessId()) + "\nline " +
                     utf8(GetCommandLineW()) + "\n";
  for (const std::wstring& argument : arguments) text += "arg " + utf8(argument) + "\n";
  std::wstring log = folder + name + L".log";
  // Two starts at once take turns: the file is opened without sharing.
  for (int attempt = 0; attempt < 200; ++attempt) {
    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      CloseHandle(file);
      return;
    }
    Sleep(10);
  }
}

void write(DWORD stream, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(GetStdHandle(stream), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
            nullptr);
}

int schtasks(const std::vector<std::wstring>& arguments) {
  bool query = !arguments.empty() && arguments[0] == L"/Query";
  if (!exists(L"task")) {
    write(STD_ERROR_HANDLE, "ERROR: The system cannot find the file specified.\r\n");
    return 1;
  }
  if (query) {
    write(STD_OUTPUT_HANDLE, "TaskName  Status\r\n");
    return 0;
  }
  if (exists(L"schtasks.fail")) {
    write(STD_ERROR_HANDLE, "ERROR: Access is denied.\r\n");
    return 1;
  }
  DeleteFileW((folder + L"task").c_str());
  write(STD_OUTPUT_HANDLE, "SUCCESS: deleted.\r\n");
  return 0;
}

int powershell() {
  if (exists(L"powershell.fail")) {
    write(STD_OUTPUT_HANDLE, "  primero \xC3\xB1\n");
    write(STD_ERROR_HANDLE, "segundo \xFF" + std::string(250, 'x') + "\n");
    return 1;
  }
  // schtasks.exe reads the task from its own folder, the system folder.
  std::wstring task_folder = folder;
  const std::wstring nested = L"\\windowspowershell\\v1.0\\";
  std::wstring lower = folder;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  if (lower.size() > nested.size() &&
      lower.compare(lower.size() - nested.size(), nested.size(), nested) == 0) {
    task_folder = folder.substr(0, folder.size() - nested.size() + 1);
  }
  HANDLE task = CreateFileW((task_folder + L"task").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (task != INVALID_HANDLE_VALUE) CloseHandle(task);
  return 0;
}

constexpr UINT_PTR kShowTimer = 1;
constexpr UINT_PTR kEndTimer = 2;

LRESULT CALLBACK browser_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == kShowTimer) {
        KillTimer(window, kShowTimer);
        ShowWindow(window, SW_SHOWNORMAL);
      } else {
        DestroyWindow(window);
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

int browser(const std::vector<std::wstring>& arguments) {
  for (const std::wstring& argument : arguments) {
    if (argument == L"--standin-no-window") {
      Sleep(120'000);
      return 0;
    }
  }
  wchar_t delay_text[32] = {};
  UINT delay = 0;
  if (GetEnvironmentVariableW(L"STANDIN_WINDOW_DELAY_MS", delay_text, 32) > 0) {
    delay = static_cast<UINT>(_wtoi(delay_text));
  }
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = browser_window;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"Chrome_WidgetWin_1";
  RegisterClassW(&window_class);
  // Created hidden: the window is found only once it has its title and is shown, as a
  // browser's window is only once its page has loaded.
  HWND window = CreateWindowExW(0, L"Chrome_WidgetWin_1", delay > 0 ? L"" : L"Vantriel",
                                WS_OVERLAPPEDWINDOW, 50, 50, 400, 300, nullptr, nullptr,
                                window_class.hInstance, nullptr);
  if (window == nullptr) return 2;
  if (delay > 0) {
    SetTimer(window, kShowTimer, delay, nullptr);
  } else {
    ShowWindow(window, SW_SHOWNORMAL);
  }
  SetTimer(window, kEndTimer, 120'000, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.wParam == kShowTimer) {
      SetWindowTextW(window, L"Vantriel");
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace

int main() {
  std::wstring path(MAX_PATH * 4, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  std::size_t slash = path.find_last_of(L"\\/");
  folder = path.substr(0, slash + 1);
  name = path.substr(slash + 1);
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
  if (name.size() > 4) name.resize(name.size() - 4);  // ".exe"

  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(argv[i]);
  LocalFree(argv);
  record(arguments);

  if (name == L"schtasks") return schtasks(arguments);
  if (name == L"powershell") return powershell();
  return browser(arguments);
}
