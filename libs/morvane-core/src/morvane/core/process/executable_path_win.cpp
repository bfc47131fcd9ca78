#include <windows.h>

#include <string>
#include <system_error>

#include "morvane/core/process/executable_path.h"

namespace morvane {

Result<std::filesystem::path> executable_path() {
  // GetModuleFileNameW truncates silently; grow until the path fits (long paths reach
  // 32,767 characters).
  std::wstring buffer(MAX_PATH, L'\0');
  while (buffer.size() <= 32768) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0)
      return make_error(std::system_category().message(static_cast<int>(::GetLastError())));
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
  return make_error(std::system_category().message(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace morvane
