#include <windows.h>

#include <string>

#include "base/file_util.h"

namespace vantriel {
namespace {

std::string path_text(const std::filesystem::path& path) {
  try {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  } catch (...) {
    return "(path)";
  }
}

morvane::Error os_error(const char* what, const std::filesystem::path& path) {
  const DWORD code = ::GetLastError();
  return morvane::make_error(std::string(what) + " " + path_text(path) + ": error " +
                             std::to_string(code));
}

// Every handle shares read, write and delete access, so no open of ours refuses another.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Sharing delete access is not enough for a rename over the file: Windows refuses to
// replace a file while any handle holds it open (ERROR_ACCESS_DENIED), and a virus
// scanner or indexer may hold it a moment (ERROR_SHARING_VIOLATION). Our readers hold a
// file for milliseconds, so the replace is tried again for up to about a second.
constexpr int kReplaceAttempts = 100;
constexpr DWORD kReplaceRetryMs = 10;

morvane::Status write_handle(HANDLE file, std::string_view bytes, const char* what,
                             const std::filesystem::path& path, bool flush = false) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
      auto error = os_error(what, path);
      ::CloseHandle(file);
      return error;
    }
    bytes.remove_prefix(written);
  }
  // Without this the bytes may sit in the cache while the rename that follows reaches the
  // disk, and a power cut leaves an empty file under the final name.
  if (flush && !::FlushFileBuffers(file)) {
    auto error = os_error(what, path);
    ::CloseHandle(file);
    return error;
  }
  if (!::CloseHandle(file)) return os_error(what, path);
  return {};
}

}  // namespace

morvane::Result<std::string> read_file(const std::filesystem::path& path, std::size_t max_bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return os_error("cannot open", path);
  std::string out;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      auto error = os_error("cannot read", path);
      ::CloseHandle(file);
      return error;
    }
    if (n == 0) break;
    if (out.size() + n > max_bytes) {
      ::CloseHandle(file);
      return morvane::make_error("file too large: " + path_text(path));
    }
    out.append(buffer, n);
  }
  ::CloseHandle(file);
  return out;
}

morvane::Status write_file(const std::filesystem::path& path, std::string_view bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return os_error("cannot write", path);
  return write_handle(file, bytes, "cannot write", path);
}

morvane::Status write_file_synced(const std::filesystem::path& path, std::string_view bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return os_error("cannot write", path);
  return write_handle(file, bytes, "cannot write", path, /*flush=*/true);
}

morvane::Status append_file(const std::filesystem::path& path, std::string_view bytes) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the current end of the
  // file, so lines of concurrent appenders do not overwrite each other.
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return os_error("cannot append to", path);
  return write_handle(file, bytes, "cannot append to", path);
}

morvane::Status replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  for (int attempt = 1;; ++attempt) {
    // MOVEFILE_WRITE_THROUGH: returns only once the move is on the disk.
    if (::MoveFileExW(from.c_str(), to.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return {};
    }
    const DWORD code = ::GetLastError();
    if ((code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) ||
        attempt == kReplaceAttempts) {
      ::SetLastError(code);
      return os_error("cannot rename to", to);
    }
    ::Sleep(kReplaceRetryMs);
  }
}

}  // namespace vantriel
