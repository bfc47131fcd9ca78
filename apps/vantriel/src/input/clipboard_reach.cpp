#include "input/clipboard_reach.h"

namespace vantriel {

ClipboardReach decide_clipboard_reach(const SessionFacts& facts) {
  if (is_wayland_session(facts)) {
    if (facts.wayland_display && facts.wlroots_data_control) return {true, "wlroots", ""};
    if (facts.x_display && facts.x_reachable) return {true, "x11", ""};
    return {false, "", kClipboardWayland};
  }
  if (!facts.x_display) return {false, "", kClipboardNoDisplay};
  if (!facts.x_reachable) return {false, "", kReachXUnreachable};
  return {true, "x11", ""};
}

}  // namespace vantriel
