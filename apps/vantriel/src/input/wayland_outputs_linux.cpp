#include "input/wayland_outputs_linux.h"

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <list>
#include <string>
#include <utility>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace vantriel {

std::vector<MonitorInfo> monitors_of_outputs(const std::vector<AnnouncedOutput>& outputs) {
  std::vector<MonitorInfo> out;
  for (const AnnouncedOutput& o : outputs) {
    MonitorInfo m;
    m.name = o.name;
    if (o.logical_w > 0 && o.logical_h > 0) {
      m.x = o.logical_x;
      m.y = o.logical_y;
      m.w = o.logical_w;
      m.h = o.logical_h;
    } else {
      const int scale = std::max(o.scale, 1);
      m.x = o.x;
      m.y = o.y;
      m.w = (o.quarter_turn ? o.mode_h : o.mode_w) / scale;
      m.h = (o.quarter_turn ? o.mode_w : o.mode_h) / scale;
    }
    if (m.w <= 0 || m.h <= 0) continue;
    m.i = static_cast<int>(out.size());
    out.push_back(std::move(m));
  }
  auto origin = std::find_if(out.begin(), out.end(),
                             [](const MonitorInfo& m) { return m.x == 0 && m.y == 0; });
  if (origin == out.end()) origin = out.begin();
  if (origin != out.end()) origin->primary = true;
  return out;
}

namespace {

struct Output {
  uint32_t global = 0;  // the registry's name for it
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  AnnouncedOutput seen;
};

}  // namespace

struct WaylandOutputs::State {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  zxdg_output_manager_v1* manager = nullptr;
  std::list<Output> outputs;  // stable addresses: listeners hold them
  bool broken = false;

  ~State() {
    for (Output& o : outputs) release(o);
    if (manager != nullptr) zxdg_output_manager_v1_destroy(manager);
    if (registry != nullptr) wl_registry_destroy(registry);
    if (display != nullptr) wl_display_disconnect(display);
  }

  static void release(Output& o) {
    if (o.xdg != nullptr) zxdg_output_v1_destroy(o.xdg);
    if (o.output != nullptr) {
      if (wl_output_get_version(o.output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
        wl_output_release(o.output);
      } else {
        wl_output_destroy(o.output);
      }
    }
    o.xdg = nullptr;
    o.output = nullptr;
  }

  void watch_logical(Output& o) {
    if (manager == nullptr || o.xdg != nullptr) return;
    o.xdg = zxdg_output_manager_v1_get_xdg_output(manager, o.output);
    zxdg_output_v1_add_listener(o.xdg, &kXdgListener, &o);
  }

  // --- wl_registry
  static void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                     uint32_t version) {
    auto* self = static_cast<State*>(data);
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
      Output& o = self->outputs.emplace_back();
      o.global = name;
      o.output = static_cast<wl_output*>(
          wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
      wl_output_add_listener(o.output, &kOutputListener, &o);
      self->watch_logical(o);
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 &&
               self->manager == nullptr) {
      self->manager = static_cast<zxdg_output_manager_v1*>(wl_registry_bind(
          registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
      for (Output& o : self->outputs) self->watch_logical(o);
    }
  }
  static void global_remove(void* data, wl_registry*, uint32_t name) {
    auto* self = static_cast<State*>(data);
    self->outputs.remove_if([name](Output& o) {
      if (o.global != name) return false;
      release(o);
      return true;
    });
  }
  static constexpr wl_registry_listener kRegistryListener = {global, global_remove};

  // --- wl_output
  static void geometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                       const char*, const char*, int32_t transform) {
    auto& seen = static_cast<Output*>(data)->seen;
    seen.x = x;
    seen.y = y;
    seen.quarter_turn = (transform & 1) != 0;  // 90, 270 and their flipped forms
  }
  static void mode(void* data, wl_output*, uint32_t flags, int32_t w, int32_t h, int32_t) {
    if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
    auto& seen = static_cast<Output*>(data)->seen;
    seen.mode_w = w;
    seen.mode_h = h;
  }
  static void done(void*, wl_output*) {}
  static void scale(void* data, wl_output*, int32_t factor) {
    static_cast<Output*>(data)->seen.scale = factor;
  }
  static void name(void* data, wl_output*, const char* text) {
    auto& seen = static_cast<Output*>(data)->seen;
    if (seen.name.empty()) seen.name = text;
  }
  static void description(void*, wl_output*, const char*) {}
  static constexpr wl_output_listener kOutputListener = {geometry, mode,  done,
                                                         scale,    name, description};

  // --- zxdg_output_v1
  static void logical_position(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    auto& seen = static_cast<Output*>(data)->seen;
    seen.logical_x = x;
    seen.logical_y = y;
  }
  static void logical_size(void* data, zxdg_output_v1*, int32_t w, int32_t h) {
    auto& seen = static_cast<Output*>(data)->seen;
    seen.logical_w = w;
    seen.logical_h = h;
  }
  static void xdg_done(void*, zxdg_output_v1*) {}
  static void xdg_name(void* data, zxdg_output_v1*, const char* text) {
    static_cast<Output*>(data)->seen.name = text;  // the connector's, as "HDMI-A-1"
  }
  static void xdg_description(void*, zxdg_output_v1*, const char*) {}
  static constexpr zxdg_output_v1_listener kXdgListener = {logical_position, logical_size,
                                                           xdg_done, xdg_name, xdg_description};

  // Reads and handles what the compositor sent, without waiting for more.
  void read_pending() {
    if (broken) return;
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    pollfd p{wl_display_get_fd(display), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) {
      wl_display_read_events(display);
    } else {
      wl_display_cancel_read(display);
    }
    wl_display_dispatch_pending(display);
    broken = wl_display_get_error(display) != 0;
  }
};

WaylandOutputs::WaylandOutputs(std::unique_ptr<State> state) : state_(std::move(state)) {}
WaylandOutputs::~WaylandOutputs() = default;

std::unique_ptr<WaylandOutputs> WaylandOutputs::connect() {
  auto state = std::make_unique<State>();
  state->display = wl_display_connect(nullptr);
  if (state->display == nullptr) return nullptr;
  state->registry = wl_display_get_registry(state->display);
  wl_registry_add_listener(state->registry, &State::kRegistryListener, state.get());
  // The globals, then each output's description (including xdg-output's, asked for as
  // the globals came).
  for (int round = 0; round < 2; ++round) {
    if (wl_display_roundtrip(state->display) < 0) return nullptr;
  }
  return std::unique_ptr<WaylandOutputs>(new WaylandOutputs(std::move(state)));
}

std::vector<MonitorInfo> WaylandOutputs::list() {
  state_->read_pending();
  if (state_->broken) return {};
  std::vector<AnnouncedOutput> seen;
  for (const Output& o : state_->outputs) seen.push_back(o.seen);
  return monitors_of_outputs(seen);
}

bool WaylandOutputs::ok() const { return !state_->broken; }

}  // namespace vantriel
