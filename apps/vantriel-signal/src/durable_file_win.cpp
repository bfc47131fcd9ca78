#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "durable_file.h"

namespace vantriel::signal {
namespace {

morvane::Error os_error(const std::string& what) {
  return morvane::make_error(what + ": Windows error " + std::to_string(GetLastError()));
}

std::wstring wide(const std::string& path) { return std::filesystem::path(path).wstring(); }

}  // namespace

morvane::Status write_synced(const std::string& path, std::string_view text) {
  HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return os_error("cannot write " + path);
  size_t done = 0;
  while (done < text.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) {
      auto error = os_error("cannot write " + path);
      CloseHandle(file);
      return error;
    }
    done += written;
  }
  if (!FlushFileBuffers(file)) {
    auto error = os_error("cannot flush " + path + " to disk");
    CloseHandle(file);
    return error;
  }
  CloseHandle(file);
  return {};
}

// MOVEFILE_WRITE_THROUGH returns once the rename is on the disk.
morvane::Status replace_file(const std::string& from, const std::string& to) {
  if (!MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return os_error("cannot replace " + to);
  }
  return {};
}

// NTFS journals folder entries, and replace_file already waited for them.
morvane::Status sync_folder(const std::string&) { return {}; }

}  // namespace vantriel::signal
