#include <windows.h>

#include <string>

#include "base/data_folder.h"

namespace vantriel {

std::optional<std::filesystem::path> executable_path() {
  // GetModuleFileNameW truncates silently; grow until the path fits (long paths reach
  // 32,767 characters).
  std::wstring buffer(MAX_PATH, L'\0');
  while (buffer.size() <= 32768) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
  return std::nullopt;
}

}  // namespace vantriel
