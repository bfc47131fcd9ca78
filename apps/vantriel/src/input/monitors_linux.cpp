// Monitors on X11: the RandR monitors of the default screen in the server's order, with
// its primary flag; the root window is the virtual desktop. A server without RandR 1.5
// monitors reports its root window as the one monitor. In a Wayland session: the
// compositor's outputs in its logical layout (wayland_outputs_linux.cpp), whose bounding
// box is the virtual desktop; XWayland's RandR would describe only its own view.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <memory>

#include "input/input_reach.h"
#include "input/monitors.h"
#include "input/wayland_outputs_linux.h"
#include "input/x11_display.h"
#include "morvane/core/sync/mutex.h"

namespace vantriel {
namespace {

// REQUIRES: the lock that guards `conn`. Reopens a connection that broke or was never
// made.
Display* display_locked(std::unique_ptr<X11Connection>& conn) {
  if (conn != nullptr && !conn->ok()) X11Connection::dispose(std::move(conn));
  if (conn == nullptr) {
    auto fresh = std::make_unique<X11Connection>();
    if (!fresh->ok()) return nullptr;
    conn = std::move(fresh);
  }
  return conn->display();
}

bool root_size(Display* d, int& w, int& h) {
  Window root = 0;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (!XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &width, &height, &border, &depth)) {
    return false;
  }
  w = static_cast<int>(width);
  h = static_cast<int>(height);
  return true;
}

}  // namespace

// One connection shared by every query.
struct MonitorSource::System::State {
  const bool wayland = is_wayland_session(session_facts_from_environment());
  morvane::Mutex mu;
  std::unique_ptr<X11Connection> conn GUARDED_BY(mu);
  std::unique_ptr<WaylandOutputs> outputs GUARDED_BY(mu);

  // The Wayland outputs, reconnecting to a compositor that went away.
  std::vector<MonitorInfo> wayland_monitors() REQUIRES(mu) {
    if (outputs != nullptr && !outputs->ok()) outputs.reset();
    if (outputs == nullptr) outputs = WaylandOutputs::connect();
    return outputs != nullptr ? outputs->list() : std::vector<MonitorInfo>{};
  }
};

MonitorSource::System::System() : state_(std::make_unique<State>()) {}
MonitorSource::System::~System() = default;

std::vector<MonitorInfo> MonitorSource::System::monitors() {
  morvane::MutexLock lock(state_->mu);
  if (state_->wayland) return state_->wayland_monitors();
  Display* d = display_locked(state_->conn);
  if (d == nullptr) return {};
  std::vector<MonitorInfo> out;
  int event_base = 0, error_base = 0, major = 0, minor = 0;
  if (XRRQueryExtension(d, &event_base, &error_base) && XRRQueryVersion(d, &major, &minor) &&
      (major > 1 || (major == 1 && minor >= 5))) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(d, DefaultRootWindow(d), True, &count);
    for (int k = 0; monitors != nullptr && k < count; ++k) {
      const XRRMonitorInfo& m = monitors[k];
      MonitorInfo info;
      info.x = m.x;
      info.y = m.y;
      info.w = m.width;
      info.h = m.height;
      info.primary = m.primary != 0;
      if (char* name = m.name != None ? XGetAtomName(d, m.name) : nullptr) {
        info.name = name;
        XFree(name);
      }
      out.push_back(std::move(info));
    }
    if (monitors != nullptr) XRRFreeMonitors(monitors);
  }
  if (out.empty()) {
    MonitorInfo whole;
    whole.primary = true;
    whole.name = "screen";
    if (root_size(d, whole.w, whole.h)) out.push_back(std::move(whole));
  }
  return out;
}

VirtualDesktop MonitorSource::System::virtual_desktop() {
  morvane::MutexLock lock(state_->mu);
  if (state_->wayland) {
    const std::vector<MonitorInfo> monitors = state_->wayland_monitors();
    return monitors.empty() ? VirtualDesktop{} : bounding_desktop(monitors);
  }
  VirtualDesktop desk;
  if (Display* d = display_locked(state_->conn)) root_size(d, desk.w, desk.h);
  return desk;
}

}  // namespace vantriel
