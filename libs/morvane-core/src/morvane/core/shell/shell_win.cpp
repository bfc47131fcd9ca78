#include "morvane/core/shell/shell.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

namespace morvane {
namespace {

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::wstring module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

bool shell_open(const std::string& target) {
  HINSTANCE result = ShellExecuteW(nullptr, L"open", wide(target).c_str(), nullptr, nullptr,
                                   SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void show_message_box(const std::string& caption, const std::string& text) {
  MessageBoxW(nullptr, wide(text).c_str(), wide(caption).c_str(), MB_ICONINFORMATION);
}

bool is_user_an_admin() { return IsUserAnAdmin() != FALSE; }

bool restart_elevated(const std::string& parameters) {
  std::wstring exe = module_path();
  if (exe.empty()) return false;
  std::wstring folder = exe.substr(0, exe.find_last_of(L"\\/"));
  HINSTANCE result = ShellExecuteW(nullptr, L"runas", exe.c_str(), wide(parameters).c_str(),
                                   folder.c_str(), SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void declare_dpi_awareness() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

}  // namespace morvane
