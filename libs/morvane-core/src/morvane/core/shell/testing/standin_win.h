// Test helpers for the Windows desktop tests: a scratch folder, copies of the stand-in
// program (desktop_standin.exe, built beside the tests) under the names the code starts,
// the arguments they recorded, and environment variables set for one test.
#ifndef MORVANE_CORE_SHELL_TESTING_STANDIN_WIN_H_
#define MORVANE_CORE_SHELL_TESTING_STANDIN_WIN_H_

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace morvane::testing {

inline std::filesystem::path own_folder() {
  std::wstring path(MAX_PATH * 4, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return std::filesystem::path(path).parent_path();
}

// A fresh folder under the system's temporary folder, removed with the object. `tag` may
// hold blanks and non-ASCII letters, so that paths built on it carry them.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::wstring& tag) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::filesystem::path(temp) /
            (tag + L" " + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(GetTickCount64()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Copies the stand-in to `file` (its folders made first).
inline void place_standin(const std::filesystem::path& file) {
  std::filesystem::create_directories(file.parent_path());
  std::filesystem::copy_file(own_folder() / "desktop_standin.exe", file,
                             std::filesystem::copy_options::overwrite_existing);
}

// The runs a stand-in recorded beside itself, each as its list of arguments.
inline std::vector<std::vector<std::string>> recorded_runs(const std::filesystem::path& exe) {
  std::filesystem::path log = exe.parent_path() / (exe.stem().wstring() + L".log");
  std::ifstream in(log, std::ios::binary);
  std::vector<std::vector<std::string>> runs;
  std::string line;
  while (std::getline(in, line)) {
    if (line == "run") {
      runs.emplace_back();
    } else if (line.rfind("arg ", 0) == 0 && !runs.empty()) {
      runs.back().push_back(line.substr(4));
    }
  }
  return runs;
}

// The processes a stand-in recorded: their IDs and whole command lines.
struct RecordedProcess {
  DWORD pid = 0;
  std::string command_line;
};
inline std::vector<RecordedProcess> recorded_processes(const std::filesystem::path& exe) {
  std::filesystem::path log = exe.parent_path() / (exe.stem().wstring() + L".log");
  std::ifstream in(log, std::ios::binary);
  std::vector<RecordedProcess> processes;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("pid ", 0) == 0) {
      processes.push_back({static_cast<DWORD>(std::stoul(line.substr(4))), ""});
    } else if (line.rfind("line ", 0) == 0 && !processes.empty()) {
      processes.back().command_line = line.substr(5);
    }
  }
  return processes;
}

inline void touch(const std::filesystem::path& file) { std::ofstream(file).put('\n'); }

// Sets an environment variable (or removes it, for nothing) until the object ends.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::wstring name, const std::optional<std::wstring>& value)
      : name_(std::move(name)) {
    DWORD n = GetEnvironmentVariableW(name_.c_str(), nullptr, 0);
    if (n > 0) {
      std::wstring old(n, L'\0');
      old.resize(GetEnvironmentVariableW(name_.c_str(), old.data(), n));
      old_ = old;
    }
    SetEnvironmentVariableW(name_.c_str(), value ? value->c_str() : nullptr);
  }
  ~ScopedEnvironment() { SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> old_;
};

// Polls `condition` every 20 ms until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace morvane::testing

#endif  // MORVANE_CORE_SHELL_TESTING_STANDIN_WIN_H_
