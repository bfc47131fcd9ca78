// The tray on Windows: a hidden top-level window on a thread of its own (top-level, not
// message-only, because the shell's "TaskbarCreated" is broadcast to top-level windows),
// its icon through Shell_NotifyIconW, the menu, balloons, and the window watcher.
#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"
#include "morvane/core/tray/tray_win.h"

#include <atomic>
#include <cwchar>
#include <optional>
#include <thread>
#include <utility>

#include "morvane/core/shell/process_win.h"
#include "morvane/core/tray/tray_threads.h"

namespace morvane {
namespace {

constexpr UINT kIconCallback = WM_APP + 1;
constexpr UINT kShowBalloon = WM_APP + 2;
constexpr UINT kIconId = 1;

template <std::size_t N>
void copy_cut(wchar_t (&field)[N], const std::string& text, std::size_t max_units) {
  std::wstring cut = win::wide(cut_to_utf16_units(text, max_units));
  std::size_t n = std::min(cut.size(), N - 1);
  std::wmemcpy(field, cut.data(), n);
  field[n] = L'\0';
}

class WindowsTray final : public Tray {
 public:
  WindowsTray(TrayConfig config, NotifyIconCall notify)
      : config_(std::move(config)), notify_(std::move(notify)) {
    class_name_ = win::wide(without_blanks(config_.name) + "Tray");
    stop_watcher_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Threads of the tray: the window's message loop ("tray"), the watcher every 2 s
    // ("window watch"), and a thread per menu operation (actions_), so the loop never
    // waits on one.
    tray_thread_ = std::thread([this] {
      morvane::set_current_thread_name("tray");
      run_window();
    });
    watcher_thread_ = std::thread([this] {
      morvane::set_current_thread_name("window watch");
      watch();
    });
  }

  ~WindowsTray() override {
    close();
    tray_thread_.join();
    if (stop_watcher_ != nullptr) SetEvent(stop_watcher_);
    watcher_thread_.join();
    actions_.join_all();
    if (stop_watcher_ != nullptr) CloseHandle(stop_watcher_);
  }

  void show_balloon(const std::string& title, const std::string& text) override {
    {
      morvane::MutexLock lock(balloon_mu_);
      pending_balloon_ = std::make_pair(title, text);
    }
    post(kShowBalloon);
  }

  void close() override {
    morvane::MutexLock lock(window_mu_);
    closing_ = true;
    if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
  }

  bool visible() const override { return icon_added_.load(); }

 private:
  static std::string without_blanks(const std::string& text) {
    std::string out;
    for (char c : text) {
      if (c != ' ') out.push_back(c);
    }
    return out;
  }

  void post(UINT message) {
    morvane::MutexLock lock(window_mu_);
    if (window_ != nullptr) PostMessageW(window_, message, 0, 0);
  }

  // The tray thread.
  void run_window() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = &WindowsTray::procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = class_name_.c_str();
    // A second tray of the same name in one process (tests) finds the class registered.
    if (RegisterClassW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    taskbar_created_ = RegisterWindowMessageW(L"TaskbarCreated");
    HWND window = CreateWindowExW(0, class_name_.c_str(), win::wide(config_.name).c_str(), 0, 0, 0,
                                  0, 0, nullptr, nullptr, instance, this);
    if (window == nullptr) {
      UnregisterClassW(class_name_.c_str(), instance);
      return;
    }
    // An elevated program (the host asks for administrator rights) gets neither the
    // shell's icon messages nor "TaskbarCreated" from the unelevated shell unless it lets
    // them through.
    ChangeWindowMessageFilterEx(window, kIconCallback, MSGFLT_ALLOW, nullptr);
    if (taskbar_created_ != 0) {
      ChangeWindowMessageFilterEx(window, taskbar_created_, MSGFLT_ALLOW, nullptr);
    }
    icon_ = static_cast<HICON>(LoadImageW(nullptr, win::wide(config_.icon_path).c_str(),
                                          IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_LOADFROMFILE));
    add_icon(window);
    {
      morvane::MutexLock lock(window_mu_);
      window_ = window;
      if (closing_) PostMessageW(window, WM_CLOSE, 0, 0);
    }
    // A balloon asked for before the window existed waits for this one.
    PostMessageW(window, kShowBalloon, 0, 0);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (icon_ != nullptr) DestroyIcon(icon_);
    UnregisterClassW(class_name_.c_str(), instance);
  }

  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<WindowsTray*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    return self->handle(window, message, wparam, lparam);
  }

  // Called on the tray thread only.
  LRESULT handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kIconCallback) {
      UINT mouse = LOWORD(lparam);
      if (mouse == WM_LBUTTONDBLCLK) {
        run_later([this] { call(config_.show); });
      } else if (mouse == WM_RBUTTONUP) {
        open_menu(window);
      }
      return 0;
    }
    if (message == kShowBalloon) {
      show_pending_balloon(window);
      return 0;
    }
    if (message == taskbar_created_ && taskbar_created_ != 0) {
      add_icon(window);
      PostMessageW(window, kShowBalloon, 0, 0);
      return 0;
    }
    switch (message) {
      case WM_CLOSE: {
        NOTIFYICONDATAW data = icon_data(window);
        notify_(NIM_DELETE, data);
        icon_added_ = false;
        DestroyWindow(window);
        return 0;
      }
      case WM_DESTROY: {
        morvane::MutexLock lock(window_mu_);
        window_ = nullptr;
        PostQuitMessage(0);
        return 0;
      }
      default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
  }

  NOTIFYICONDATAW icon_data(HWND window) const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = kIconId;
    return data;
  }

  // At start and whenever the shell's taskbar is recreated.
  void add_icon(HWND window) {
    NOTIFYICONDATAW data = icon_data(window);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kIconCallback;
    data.hIcon = icon_ != nullptr ? icon_ : LoadIconW(nullptr, IDI_APPLICATION);
    copy_cut(data.szTip, config_.tip, 127);
    // "TaskbarCreated" also comes while the icon is still there (a change of display
    // scale); then the add fails and a modify keeps it current.
    bool added = notify_(NIM_ADD, data) || notify_(NIM_MODIFY, data);
    icon_added_ = added;
  }

  void show_pending_balloon(HWND window) {
    // Without an icon the balloon stays pending until the icon is added.
    if (!icon_added_) return;
    std::optional<std::pair<std::string, std::string>> balloon;
    {
      morvane::MutexLock lock(balloon_mu_);
      balloon.swap(pending_balloon_);
    }
    if (!balloon) return;
    NOTIFYICONDATAW data = icon_data(window);
    data.uFlags = NIF_INFO;
    copy_cut(data.szInfoTitle, balloon->first, 63);
    copy_cut(data.szInfo, balloon->second, 255);
    data.dwInfoFlags = NIIF_INFO;
    notify_(NIM_MODIFY, data);
  }

  void open_menu(HWND window) {
    // Asked here, on the tray thread, each time: the check mark shows the task as it is.
    bool startup = config_.is_startup_enabled ? config_.is_startup_enabled() : false;
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    for (const TrayMenuItem& item : tray_menu(config_, shown_.load(), startup)) {
      if (item.kind == TrayMenuItem::Kind::kSeparator) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        continue;
      }
      UINT flags = MF_STRING;
      if (!item.enabled) flags |= MF_GRAYED;
      if (item.checked) flags |= MF_CHECKED;
      AppendMenuW(menu, flags, static_cast<UINT_PTR>(item.id), win::wide(item.text).c_str());
    }
    POINT cursor{};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere;
    // WM_NULL afterwards is the documented companion of that.
    SetForegroundWindow(window);
    int chosen = static_cast<int>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x,
                                                 cursor.y, 0, window, nullptr));
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
    switch (chosen) {
      case 2:
        shown_ = true;
        run_later([this] { call(config_.show); });
        break;
      case 3:
        shown_ = false;
        run_later([this] { call(config_.hide); });
        break;
      case 5:
        run_later([this] {
          bool enabled = config_.is_startup_enabled ? config_.is_startup_enabled() : false;
          if (!config_.set_startup) return;
          show_balloon(config_.name, config_.set_startup(!enabled));
        });
        break;
      case 9:
        run_later([this] { call(config_.exit); });
        break;
      default:
        break;
    }
  }

  static void call(const std::function<void()>& operation) {
    if (operation) operation();
  }

  void run_later(std::function<void()> action) { actions_.run(std::move(action)); }

  // The watcher thread: every 2 s, on a waitable timer (or a plain wait when none can be
  // made), until the tray closes.
  void watch() {
    if (stop_watcher_ == nullptr) return;
    WindowWatcher watcher(config_);
    HANDLE timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (timer != nullptr) {
      LARGE_INTEGER due{};
      due.QuadPart = -20'000'000;  // 2 s, in 100 ns units, relative
      if (!SetWaitableTimer(timer, &due, 2000, nullptr, nullptr, FALSE)) {
        CloseHandle(timer);
        timer = nullptr;
      }
    }
    for (;;) {
      if (timer != nullptr) {
        HANDLE handles[2] = {stop_watcher_, timer};
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
      } else if (WaitForSingleObject(stop_watcher_, 2000) != WAIT_TIMEOUT) {
        break;
      }
      shown_ = watcher.check(
          visible(), [this](const std::string& title, const std::string& text) { show_balloon(title, text); });
    }
    if (timer != nullptr) {
      CancelWaitableTimer(timer);
      CloseHandle(timer);
    }
  }

  const TrayConfig config_;
  const NotifyIconCall notify_;
  std::wstring class_name_;
  UINT taskbar_created_ = 0;  // written before the window exists, read on the tray thread
  HICON icon_ = nullptr;      // tray thread only

  morvane::Mutex window_mu_;
  HWND window_ GUARDED_BY(window_mu_) = nullptr;  // set while the window exists
  bool closing_ GUARDED_BY(window_mu_) = false;

  morvane::Mutex balloon_mu_;
  std::optional<std::pair<std::string, std::string>> pending_balloon_ GUARDED_BY(balloon_mu_);

  std::atomic<bool> icon_added_{false};
  // Written by the watcher and the menu (the last writer wins; the watcher corrects it
  // within 2 s), read when the menu opens.
  std::atomic<bool> shown_{false};

  ActionThreads actions_;
  HANDLE stop_watcher_ = nullptr;
  std::thread tray_thread_;
  std::thread watcher_thread_;
};

}  // namespace

std::unique_ptr<Tray> start_tray(TrayConfig config, NotifyIconCall notify) {
  return std::make_unique<WindowsTray>(std::move(config), std::move(notify));
}

std::unique_ptr<Tray> start_tray(TrayConfig config) {
  return start_tray(std::move(config), [](DWORD message, const NOTIFYICONDATAW& data) {
    NOTIFYICONDATAW copy = data;
    return Shell_NotifyIconW(message, &copy) != FALSE;
  });
}

}  // namespace morvane
