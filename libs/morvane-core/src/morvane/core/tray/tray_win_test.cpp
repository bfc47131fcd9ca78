// The tray on Windows: a real hidden window and message loop, the real shell (each
// Shell_NotifyIconW call is recorded, then passed on), the real popup menu driven by
// keys, and the watcher on its 2-second beat.
#include "morvane/core/tray/tray_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "morvane/core/shell/process_win.h"
#include "morvane/core/shell/testing/standin_win.h"

namespace morvane {
namespace {

using testing::eventually;

struct ShellCall {
  DWORD message;
  NOTIFYICONDATAW data;
  bool result;
};

// What the tray's operations saw, and what they answer.
struct Operations {
  std::atomic<int> shows{0}, hides{0}, exits{0}, checks{0};
  std::atomic<bool> shown{false}, exists{false}, startup{false};
  std::mutex mu;
  std::vector<bool> startup_asked;  // guarded by mu
};

class TrayWinTest : public ::testing::Test {
 protected:
  TrayConfig config() {
    TrayConfig c;
    c.name = "Vantriel Prueba";
    // 200 UTF-16 units, a surrogate pair across the 127th.
    c.tip = std::string(126, 'a') + "\xF0\x9F\x98\x80" + std::string(72, 'b');
    c.icon_path = "C:\\no\\such\\icon.ico";
    c.show_text = "Mostrar Vantriel Prueba";
    c.hide_text = "Ocultar la ventana";
    c.startup_text = "Abrir al iniciar Windows";
    c.exit_text = "Salir de Vantriel Prueba";
    c.closed_title = "Vantriel Prueba sigue funcionando";
    c.closed_text = "Cerraste la ventana, pero la app sigue en la bandeja.";
    c.show = [this] {
      ++ops_.shows;
      ops_.shown = ops_.exists = true;
    };
    c.hide = [this] {
      ++ops_.hides;
      ops_.shown = false;
    };
    c.is_shown = [this] {
      ++ops_.checks;
      return ops_.shown.load();
    };
    c.window_exists = [this] { return ops_.exists.load(); };
    c.is_startup_enabled = [this] { return ops_.startup.load(); };
    c.set_startup = [this](bool enable) {
      std::lock_guard<std::mutex> lock(ops_.mu);
      ops_.startup_asked.push_back(enable);
      return std::string("cambiado");
    };
    c.exit = [this] { ++ops_.exits; };
    return c;
  }

  // Starts the tray; with `hold_add`, the first NIM_ADD waits for release_add(), so the
  // window is not yet known when the test asks for balloons.
  void start(bool hold_add = false) {
    hold_add_ = hold_add;
    tray_ = start_tray(config(), [this](DWORD message, const NOTIFYICONDATAW& data) {
      if (message == NIM_ADD) {
        std::unique_lock<std::mutex> lock(mu_);
        released_.wait(lock, [this] { return !hold_add_; });
      }
      NOTIFYICONDATAW copy = data;
      bool result = Shell_NotifyIconW(message, &copy) != FALSE;
      std::lock_guard<std::mutex> lock(mu_);
      calls_.push_back({message, data, result});
      return result;
    });
  }
  void release_add() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      hold_add_ = false;
    }
    released_.notify_all();
  }

  std::vector<ShellCall> calls(DWORD message, UINT flags) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<ShellCall> out;
    for (const ShellCall& call : calls_) {
      if (call.message == message && (call.data.uFlags & flags) == flags) out.push_back(call);
    }
    return out;
  }
  std::vector<std::pair<std::wstring, std::wstring>> balloons() {
    std::vector<std::pair<std::wstring, std::wstring>> out;
    for (const ShellCall& call : calls(NIM_MODIFY, NIF_INFO)) {
      out.emplace_back(call.data.szInfoTitle, call.data.szInfo);
    }
    return out;
  }

  HWND window() { return FindWindowW(L"VantrielPruebaTray", nullptr); }

  // The open popup menu of this process, or nothing.
  static HWND open_menu() {
    HWND menu = nullptr;
    EnumWindows(
        [](HWND w, LPARAM found) {
          wchar_t name[16] = {};
          DWORD pid = 0;
          GetWindowThreadProcessId(w, &pid);
          if (pid == GetCurrentProcessId() && GetClassNameW(w, name, 16) &&
              std::wstring(name) == L"#32768" && IsWindowVisible(w)) {
            *reinterpret_cast<HWND*>(found) = w;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&menu));
    return menu;
  }

  struct MenuLine {
    UINT id;
    std::wstring text;
    UINT state;
  };
  // Right-clicks the icon, reads the menu, and picks the `downs`-th selectable line with
  // the keyboard (0 dismisses it).
  std::vector<MenuLine> use_menu(int downs) {
    PostMessageW(window(), WM_APP + 1, 1, WM_RBUTTONUP);
    HWND popup = nullptr;
    EXPECT_TRUE(eventually([&] { return (popup = open_menu()) != nullptr; }));
    std::vector<MenuLine> lines;
    if (popup == nullptr) return lines;
    auto menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      wchar_t text[256] = {};
      GetMenuStringW(menu, static_cast<UINT>(i), text, 256, MF_BYPOSITION);
      lines.push_back({GetMenuItemID(menu, i), text, GetMenuState(menu, static_cast<UINT>(i),
                                                                  MF_BYPOSITION)});
    }
    for (int i = 0; i < downs; ++i) PostMessageW(window(), WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(window(), WM_KEYDOWN, downs > 0 ? VK_RETURN : VK_ESCAPE, 0);
    EXPECT_TRUE(eventually([&] { return open_menu() == nullptr; }));
    return lines;
  }

  Operations ops_;
  std::mutex mu_;
  std::condition_variable released_;
  bool hold_add_ = false;         // guarded by mu_
  std::vector<ShellCall> calls_;  // guarded by mu_
  std::unique_ptr<Tray> tray_;
};

TEST_F(TrayWinTest, TheIconComesWithItsCutTipAndComesBackWhenTheTaskbarIsRecreated) {
  start();
  ASSERT_TRUE(eventually([&] { return !calls(NIM_ADD, 0).empty(); }));
  ShellCall add = calls(NIM_ADD, 0)[0];
  EXPECT_EQ(add.data.uID, 1u);
  EXPECT_EQ(add.data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
  EXPECT_EQ(add.data.uCallbackMessage, static_cast<UINT>(WM_APP + 1));
  EXPECT_NE(add.data.hIcon, nullptr);  // the generic icon: the file does not exist
  EXPECT_EQ(add.data.szTip, std::wstring(126, L'a'));
  EXPECT_EQ(add.data.hWnd, window());
  ASSERT_TRUE(add.result) << "the shell refused the icon";
  EXPECT_TRUE(tray_->visible());

  // The shell loses the icon, as when Explorer restarts, and says so.
  NOTIFYICONDATAW gone{};
  gone.cbSize = sizeof gone;
  gone.hWnd = window();
  gone.uID = 1;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));
  PostMessageW(window(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  ASSERT_TRUE(eventually([&] { return calls(NIM_ADD, 0).size() == 2; }));
  EXPECT_TRUE(calls(NIM_ADD, 0)[1].result);
  EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &gone)) << "the icon is there again";

  tray_->close();
  ASSERT_TRUE(eventually([&] { return window() == nullptr; }));
  EXPECT_EQ(calls(NIM_DELETE, 0).size(), 1u);
  EXPECT_FALSE(tray_->visible());
}

TEST_F(TrayWinTest, ABalloonAskedForBeforeTheWindowIsShownOnceItExistsAndLongTextsAreCut) {
  start(/*hold_add=*/true);
  tray_->show_balloon("older", "dropped");
  tray_->show_balloon("Vantriel", "sigue aqu\xC3\xAD");
  release_add();
  ASSERT_TRUE(eventually([&] { return balloons().size() == 1; }));
  EXPECT_EQ(balloons()[0], std::make_pair(std::wstring(L"Vantriel"), std::wstring(L"sigue aquí")));
  ShellCall shown = calls(NIM_MODIFY, NIF_INFO)[0];
  EXPECT_EQ(shown.data.uID, 1u);
  EXPECT_EQ(shown.data.uFlags, static_cast<UINT>(NIF_INFO));
  EXPECT_EQ(shown.data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
  EXPECT_TRUE(shown.result);

  tray_->show_balloon(std::string(80, 't'), std::string(300, 'x'));
  ASSERT_TRUE(eventually([&] { return balloons().size() == 2; }));
  EXPECT_EQ(balloons()[1], std::make_pair(std::wstring(63, L't'), std::wstring(255, L'x')));
}

TEST_F(TrayWinTest, TheMenuFollowsTheWindowAndTheTaskAndRunsItsOperations) {
  start();
  ASSERT_TRUE(eventually([&] { return window() != nullptr && tray_->visible(); }));
  ops_.startup = true;

  auto lines = use_menu(2);  // the tip, then "Mostrar ..."
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].id, 1u);
  EXPECT_EQ(lines[0].text, std::wstring(126, L'a'));
  EXPECT_TRUE(lines[0].state & MF_GRAYED);
  EXPECT_TRUE(lines[1].state & MF_SEPARATOR);
  EXPECT_EQ(lines[2].id, 2u);
  EXPECT_EQ(lines[2].text, L"Mostrar Vantriel Prueba");
  EXPECT_EQ(lines[3].id, 5u);
  EXPECT_TRUE(lines[3].state & MF_CHECKED);
  EXPECT_TRUE(lines[4].state & MF_SEPARATOR);
  EXPECT_EQ(lines[5].id, 9u);
  EXPECT_EQ(lines[5].text, L"Salir de Vantriel Prueba");
  EXPECT_TRUE(eventually([&] { return ops_.shows == 1; }));

  ops_.startup = false;
  lines = use_menu(2);  // the window is shown now: "Ocultar la ventana"
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2].id, 3u);
  EXPECT_EQ(lines[2].text, L"Ocultar la ventana");
  EXPECT_FALSE(lines[3].state & MF_CHECKED);
  EXPECT_TRUE(eventually([&] { return ops_.hides == 1; }));

  use_menu(3);  // start at log-on: asked for the opposite, its text in a balloon
  ASSERT_TRUE(eventually([&] { return balloons().size() == 1; }));
  EXPECT_EQ(balloons()[0], std::make_pair(std::wstring(L"Vantriel Prueba"), std::wstring(L"cambiado")));
  {
    std::lock_guard<std::mutex> lock(ops_.mu);
    EXPECT_EQ(ops_.startup_asked, std::vector<bool>{true});
  }

  use_menu(0);  // dismissed: nothing runs
  use_menu(4);
  EXPECT_TRUE(eventually([&] { return ops_.exits == 1; }));

  // A double click shows the window; a single click does nothing.
  PostMessageW(window(), WM_APP + 1, 1, WM_LBUTTONUP);
  PostMessageW(window(), WM_APP + 1, 1, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(eventually([&] { return ops_.shows == 2; }));
  EXPECT_EQ(ops_.hides, 1);
}

TEST_F(TrayWinTest, TheWatcherSaysOnceThatTheProgramKeepsRunning) {
  ops_.shown = ops_.exists = true;
  start();
  auto next_check = [&] {
    int before = ops_.checks;
    return eventually([&] { return ops_.checks > before; }, std::chrono::seconds(5));
  };
  ASSERT_TRUE(next_check());  // seen shown
  ops_.shown = false;         // minimised: still there
  ASSERT_TRUE(next_check());
  EXPECT_TRUE(balloons().empty());
  ops_.exists = false;  // closed
  ASSERT_TRUE(next_check());
  ASSERT_TRUE(eventually([&] { return balloons().size() == 1; }));
  EXPECT_EQ(balloons()[0].first, L"Vantriel Prueba sigue funcionando");
  EXPECT_EQ(balloons()[0].second, L"Cerraste la ventana, pero la app sigue en la bandeja.");

  ops_.shown = ops_.exists = true;  // opened and closed again
  ASSERT_TRUE(next_check());
  ops_.shown = ops_.exists = false;
  ASSERT_TRUE(next_check());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a balloon would be out
  EXPECT_EQ(balloons().size(), 1u);
}

}  // namespace
}  // namespace morvane
