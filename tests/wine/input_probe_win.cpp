// The Windows tests' eyes and hands on the desktop, under Wine.
//
// input_probe.exe: a window that covers the primary screen, takes the focus and reports,
// one JSON object a line on standard output, the mouse and keyboard messages it receives.
// Input that Vantriel.exe injects with SendInput reaches Windows windows through Wine's
// own queues, not X clients, so this window stands where desktop_probe stands for the
// Linux host. It prints "ready" once it has the focus and ends after F12 (its scan code)
// is released, or after a minute.
//
// input_probe.exe box TITLE: waits up to a minute for a message box of that title, prints
// {"text":"..."} with its text, presses its OK button and ends; exit code 1 when no box
// came.
//
// input_probe.exe hold: opens the desktop and waits until it is ended. Wine starts its
// service processes and the desktop process with the first program that needs them, and
// they inherit that program's standard handles; the runner starts this one first, with
// its output nowhere, so no test's pipe is held open by them after the test's program ends.
//
//   {"t":"bp"|"br","b":1|2|3,"x":X,"y":Y}   button pressed or released (1 left, 2 middle,
//                                            3 right), at screen coordinates
//   {"t":"wheel","d":DELTA}                  vertical wheel
//   {"t":"kd"|"ku","vk":VK,"scan":SCAN,"ext":0|1}   key down or up (system keys too)
//   {"t":"ch","u":UNIT}                      one UTF-16 unit of typed text
#include <windows.h>
#include <windowsx.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

constexpr UINT_PTR kGiveUpTimer = 1;

void emit(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void button(const char* t, int b, LPARAM lp, HWND hwnd) {
  POINT p{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
  ClientToScreen(hwnd, &p);
  char line[96];
  std::snprintf(line, sizeof line, "{\"t\":\"%s\",\"b\":%d,\"x\":%ld,\"y\":%ld}", t, b, p.x, p.y);
  emit(line);
}

void key(const char* t, WPARAM vk, LPARAM lp) {
  char line[96];
  std::snprintf(line, sizeof line, "{\"t\":\"%s\",\"vk\":%u,\"scan\":%u,\"ext\":%u}", t,
                static_cast<unsigned>(vk), static_cast<unsigned>((lp >> 16) & 0xFF),
                static_cast<unsigned>((lp >> 24) & 1));
  emit(line);
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_LBUTTONDOWN: button("bp", 1, lp, hwnd); return 0;
    case WM_LBUTTONUP: button("br", 1, lp, hwnd); return 0;
    case WM_MBUTTONDOWN: button("bp", 2, lp, hwnd); return 0;
    case WM_MBUTTONUP: button("br", 2, lp, hwnd); return 0;
    case WM_RBUTTONDOWN: button("bp", 3, lp, hwnd); return 0;
    case WM_RBUTTONUP: button("br", 3, lp, hwnd); return 0;
    case WM_MOUSEWHEEL: {
      char line[64];
      std::snprintf(line, sizeof line, "{\"t\":\"wheel\",\"d\":%d}", GET_WHEEL_DELTA_WPARAM(wp));
      emit(line);
      return 0;
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      key("kd", wp, lp);
      return 0;  // no system menu for Alt
    case WM_KEYUP:
    case WM_SYSKEYUP:
      key("ku", wp, lp);
      if (((lp >> 16) & 0xFF) == 0x58) PostQuitMessage(0);  // F12's scan code
      return 0;
    case WM_CHAR: {
      char line[64];
      std::snprintf(line, sizeof line, "{\"t\":\"ch\",\"u\":%u}", static_cast<unsigned>(wp));
      emit(line);
      return 0;
    }
    case WM_TIMER:
      if (wp == kGiveUpTimer) PostQuitMessage(1);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

std::string utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring window_text(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The message box's text is its static control's (id 0xFFFF).
BOOL CALLBACK find_static(HWND child, LPARAM param) {
  wchar_t cls[32];
  GetClassNameW(child, cls, 32);
  if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextLengthW(child) > 0) {
    *reinterpret_cast<std::wstring*>(param) = window_text(child);
    return FALSE;
  }
  return TRUE;
}

int read_message_box(const wchar_t* title) {
  for (int tries = 0; tries < 600; ++tries) {
    if (HWND box = FindWindowW(L"#32770", title)) {
      std::wstring text;
      EnumChildWindows(box, find_static, reinterpret_cast<LPARAM>(&text));
      emit(("{\"text\":" + json_string(utf8(text)) + "}").c_str());
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return 0;
    }
    Sleep(100);
  }
  return 1;
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv != nullptr && argc == 3 && lstrcmpW(argv[1], L"box") == 0) {
    return read_message_box(argv[2]);
  }
  if (argv != nullptr && argc == 2 && lstrcmpW(argv[1], L"hold") == 0) {
    GetDesktopWindow();
    if (OpenClipboard(nullptr)) CloseClipboard();
    Sleep(INFINITE);
  }

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW cls{};
  cls.lpfnWndProc = window_proc;
  cls.hInstance = instance;
  cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  cls.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  cls.lpszClassName = L"VantrielInputProbe";
  if (!RegisterClassW(&cls)) return 2;
  const int w = GetSystemMetrics(SM_CXSCREEN);
  const int h = GetSystemMetrics(SM_CYSCREEN);
  HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, cls.lpszClassName, L"input probe", WS_POPUP, 0, 0,
                              w, h, nullptr, nullptr, instance, nullptr);
  if (hwnd == nullptr) return 3;
  ShowWindow(hwnd, SW_SHOW);
  SetForegroundWindow(hwnd);
  SetFocus(hwnd);
  SetTimer(hwnd, kGiveUpTimer, 60'000, nullptr);

  // "ready" once the window is shown and focused and the queue has been drained once.
  bool ready = false;
  MSG msg;
  for (;;) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (!ready && GetForegroundWindow() == hwnd && GetFocus() == hwnd) {
      ready = true;
      char line[64];
      std::snprintf(line, sizeof line, "ready %d %d", w, h);
      emit(line);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ready ? INFINITE : 50, QS_ALLINPUT);
  }
}
