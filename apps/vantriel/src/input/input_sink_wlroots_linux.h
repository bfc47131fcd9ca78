// Input on wlroots compositors (sway and others): a virtual pointer and a virtual
// keyboard of the compositor named by WAYLAND_DISPLAY.
#ifndef VANTRIEL_INPUT_INPUT_SINK_WLROOTS_LINUX_H_
#define VANTRIEL_INPUT_INPUT_SINK_WLROOTS_LINUX_H_

#include <memory>

#include "input/input_sink.h"

namespace vantriel {

// Whether the compositor of WAYLAND_DISPLAY offers both zwlr_virtual_pointer_manager_v1
// and zwp_virtual_keyboard_manager_v1: one registry round trip, given up after a second.
bool wayland_offers_virtual_input();

// The sink. It connects on first use and again after the compositor went away.
std::unique_ptr<InputSink> make_wlroots_input_sink();

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INPUT_SINK_WLROOTS_LINUX_H_
