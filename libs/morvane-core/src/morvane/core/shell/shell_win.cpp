#include "morvane/core/shell/shell.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "morvane/core/process/executable_path.h"
#include "morvane/core/text/utf16.h"

namespace morvane {

bool shell_open(const std::string& target) {
  HINSTANCE result = ShellExecuteW(nullptr, L"open", utf8_to_wide(target).c_str(), nullptr, nullptr,
                                   SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void show_message_box(const std::string& caption, const std::string& text) {
  MessageBoxW(nullptr, utf8_to_wide(text).c_str(), utf8_to_wide(caption).c_str(), MB_ICONINFORMATION);
}

bool is_user_an_admin() { return IsUserAnAdmin() != FALSE; }

bool restart_elevated(const std::string& parameters) {
  const auto exe = executable_path();
  if (!exe.ok()) return false;
  HINSTANCE result = ShellExecuteW(nullptr, L"runas", exe->c_str(), utf8_to_wide(parameters).c_str(),
                                   exe->parent_path().c_str(), SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

void declare_dpi_awareness() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

}  // namespace morvane
