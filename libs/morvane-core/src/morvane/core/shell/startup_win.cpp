// Start at log-on on Windows: a scheduled task, registered by a PowerShell script (it runs
// at the highest run level, which only an administrator may ask for) and queried and
// deleted with schtasks.
#include "morvane/core/shell/startup.h"

#include <windows.h>

#include <filesystem>
#include <thread>

#include "morvane/core/shell/process_win.h"
#include "morvane/core/sync/thread_name.h"

namespace morvane {
namespace {

// Owns one handle; closes it on every path.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  HANDLE get() const { return handle_; }
  HANDLE* out() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

std::string read_all(HANDLE pipe) {
  std::string bytes;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
  return bytes;
}

// Invalid sequences become U+FFFD (MultiByteToWideChar replaces them without
// MB_ERR_INVALID_CHARS).
std::string valid_utf8(const std::string& bytes) { return win::narrow(win::wide(bytes)); }

// A pipe whose write end the child inherits and whose read end stays here.
bool make_pipe(Handle& read, Handle& write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(read.out(), write.out(), &inherit, 0)) return false;
  return SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0) != FALSE;
}

}  // namespace

HiddenRun run_hidden(const std::string& program, const std::vector<std::string>& arguments) {
  HiddenRun result;
  Handle out_read, out_write, err_read, err_write;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr));
  if (!make_pipe(out_read, out_write) || !make_pipe(err_read, err_write) || input.get() == nullptr) {
    result.output = win::error_text(GetLastError());
    return result;
  }

  // Only these three handles go to the child: another thread's run_hidden may be making
  // inheritable pipes at the same moment, and a child holding their write ends would keep
  // that run's reads waiting until this child ends.
  HANDLE inherited[3] = {input.get(), out_write.get(), err_write.get()};
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_memory(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
  bool list_made = list_size != 0 && InitializeProcThreadAttributeList(list, 1, 0, &list_size);
  bool have_list = list_made && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                          inherited, sizeof inherited, nullptr,
                                                          nullptr);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = have_list ? sizeof startup : sizeof startup.StartupInfo;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.get();
  startup.StartupInfo.hStdOutput = out_write.get();
  startup.StartupInfo.hStdError = err_write.get();
  if (have_list) startup.lpAttributeList = list;

  // A full path is handed over as the module to run, so nothing is searched; a bare name
  // is found as CreateProcess finds one (".exe" added; the executable's folder and the
  // current one before the system folders), which only tests rely on.
  const std::wstring program_w = win::wide(program);
  const bool full_path = std::filesystem::path(program_w).is_absolute();
  std::wstring line = win::command_line(program_w, arguments);
  PROCESS_INFORMATION process{};
  DWORD flags = CREATE_NO_WINDOW | (have_list ? EXTENDED_STARTUPINFO_PRESENT : 0);
  BOOL started = CreateProcessW(full_path ? program_w.c_str() : nullptr, line.data(), nullptr,
                                nullptr, TRUE, flags, nullptr, nullptr, &startup.StartupInfo,
                                &process);
  DWORD start_error = GetLastError();
  if (list_made) DeleteProcThreadAttributeList(list);
  // Our copies of the write ends go now, so the reads end when the child's do.
  out_write.reset();
  err_write.reset();
  input.reset();
  if (!started) {
    result.output = win::error_text(start_error);
    return result;
  }
  Handle child(process.hProcess);
  CloseHandle(process.hThread);

  // Both pipes are drained at once: a child that fills one while we wait on the other
  // would never end. The error reader is this call's own thread, joined here.
  std::string error_bytes;
  std::thread error_reader([&] {
    set_current_thread_name("startup errors");
    error_bytes = read_all(err_read.get());
  });
  std::string output_bytes = read_all(out_read.get());
  error_reader.join();

  WaitForSingleObject(child.get(), INFINITE);
  DWORD code = 0;
  result.exit_code = GetExitCodeProcess(child.get(), &code) ? static_cast<int>(code) : -1;
  result.output = valid_utf8(output_bytes) + valid_utf8(error_bytes);
  return result;
}

namespace {

// The full path of a program under the system folder; empty when the folder is unknown,
// which fails the start rather than search for the program.
std::string system_program(const StartupConfig& config, const std::filesystem::path& relative) {
  std::filesystem::path folder = config.system_folder;
  if (folder.empty()) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return {};
    folder = std::wstring(buffer, n);
  }
  return win::narrow((folder / relative).wstring());
}

std::string schtasks(const StartupConfig& config) {
  return system_program(config, L"schtasks.exe");
}

std::string powershell(const StartupConfig& config) {
  return system_program(config, std::filesystem::path(L"WindowsPowerShell") / L"v1.0" /
                                    L"powershell.exe");
}

}  // namespace

StartupQuery query_startup(const StartupConfig& config) {
  StartupQuery query;
  query.supported = true;
  query.enabled = run_hidden(schtasks(config), {"/Query", "/TN", config.name}).exit_code == 0;
  return query;
}

StartupChange set_startup(const StartupConfig& config, bool enable) {
  HiddenRun run = enable ? run_hidden(powershell(config), {"-NoProfile", "-ExecutionPolicy",
                                                           "Bypass", "-Command",
                                                           startup_task_script(config)})
                         : run_hidden(schtasks(config), {"/Delete", "/TN", config.name, "/F"});
  return startup_change_result(config, enable,
                               run.exit_code == 0 ? std::nullopt
                                                  : std::optional<std::string>(run.output));
}

}  // namespace morvane
