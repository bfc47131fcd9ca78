// Monitors on Windows: EnumDisplayMonitors order, whole-monitor rectangles, the device
// name without its "\\.\" prefix; the virtual screen from the system metrics.
#include <windows.h>

#include <string>

#include "input/monitors.h"
#include "morvane/core/text/utf16.h"

namespace vantriel {
namespace {

BOOL CALLBACK add_monitor(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
  auto* out = reinterpret_cast<std::vector<MonitorInfo>*>(param);
  MONITORINFOEXW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  if (!GetMonitorInfoW(monitor, &info)) return TRUE;  // left out; the rest move up
  std::u16string device;
  for (const WCHAR c : info.szDevice) {
    if (c == 0) break;
    device.push_back(static_cast<char16_t>(c));
  }
  std::string name = morvane::utf16_to_utf8(device);
  constexpr std::string_view kPrefix = "\\\\.\\";
  while (name.compare(0, kPrefix.size(), kPrefix) == 0) name.erase(0, kPrefix.size());
  MonitorInfo m;
  m.x = info.rcMonitor.left;
  m.y = info.rcMonitor.top;
  m.w = info.rcMonitor.right - info.rcMonitor.left;
  m.h = info.rcMonitor.bottom - info.rcMonitor.top;
  m.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
  m.name = std::move(name);
  out->push_back(std::move(m));
  return TRUE;
}

}  // namespace

// Windows needs no connection: each query asks the system.
struct MonitorSource::System::State {};

MonitorSource::System::System() = default;
MonitorSource::System::~System() = default;

std::vector<MonitorInfo> MonitorSource::System::monitors() {
  std::vector<MonitorInfo> out;
  EnumDisplayMonitors(nullptr, nullptr, add_monitor, reinterpret_cast<LPARAM>(&out));
  return out;
}

VirtualDesktop MonitorSource::System::virtual_desktop() {
  return VirtualDesktop{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                        GetSystemMetrics(SM_CXVIRTUALSCREEN),
                        GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

}  // namespace vantriel
