// The installer's process and file calls on Windows.
#include <windows.h>

#include <cstdio>
#include <system_error>

#include "morvane/core/text/utf16.h"
#include "morvane/update/installer.h"

namespace morvane {
namespace fs = std::filesystem;
namespace {

constexpr DWORD kDetachedNewGroup = 0x208;    // CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS
constexpr DWORD kSocketAccessDenied = 10013;  // WSAEACCES

std::string error_text(DWORD code) {
  return std::system_category().message(static_cast<int>(code));
}

// One argument as CommandLineToArgvW reads it back: quotes where needed, backslashes
// doubled before a quote.
void append_quoted(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  for (auto it = arg.begin();; ++it) {
    size_t backslashes = 0;
    while (it != arg.end() && *it == L'\\') {
      ++it;
      ++backslashes;
    }
    if (it == arg.end()) {
      line.append(backslashes * 2, L'\\');
      break;
    }
    if (*it == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    line += *it;
  }
  line += L'"';
}

}  // namespace

Status InstallerSystem::rename(const fs::path& from, const fs::path& to, bool* access_denied) {
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
  DWORD code = GetLastError();
  *access_denied = code == ERROR_ACCESS_DENIED || code == kSocketAccessDenied;
  return make_error(error_text(code));
}

void InstallerSystem::sleep(std::chrono::milliseconds duration) {
  Sleep(static_cast<DWORD>(duration.count()));
}

void InstallerSystem::wait_for_exit(uint32_t pid, std::chrono::milliseconds limit) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!process) return;
  WaitForSingleObject(process, static_cast<DWORD>(limit.count()));
  CloseHandle(process);
}

Status InstallerSystem::start_detached(const fs::path& program,
                                       const std::vector<std::string>& args,
                                       const fs::path& folder) {
  std::wstring line;
  append_quoted(line, program.wstring());
  for (const std::string& arg : args) append_quoted(line, utf8_to_wide(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, kDetachedNewGroup,
                      nullptr, folder.c_str(), &startup, &info)) {
    return make_error(error_text(GetLastError()));
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return {};
}

std::string InstallerSystem::local_time_text() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[80];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

namespace internal {

uint32_t current_process_id() { return GetCurrentProcessId(); }

}  // namespace internal
}  // namespace morvane
