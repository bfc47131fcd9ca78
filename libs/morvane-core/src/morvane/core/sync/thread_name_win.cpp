#include <windows.h>

#include "morvane/core/sync/thread_name.h"
#include "morvane/core/text/utf16.h"

namespace morvane {

void set_current_thread_name(std::string_view name) {
  // SetThreadDescription exists from Windows 10 1607 on: looked up, not linked.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set_description = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set_description == nullptr) return;
  const std::wstring wide = utf8_to_wide(name);
  set_description(GetCurrentThread(), wide.c_str());
}

}  // namespace morvane
