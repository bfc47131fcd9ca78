#include "input/input_reach.h"

namespace vantriel {

InputReach decide_input_reach(const SessionFacts& facts) {
  const bool wayland = facts.session_type == "wayland" ||
                       (facts.session_type != "x11" && facts.wayland_display && !facts.x_display);
  if (wayland) {
    if (!facts.wayland_display) return {false, "", kReachWayland};
    if (facts.wlroots_virtual_input) return {true, "wlroots", ""};
    constexpr uint32_t kBoth = kPortalKeyboard | kPortalPointer;
    if (facts.portal_remote_desktop > 0 && (facts.portal_device_types & kBoth) == kBoth) {
      return {true, "portal", ""};
    }
    return {false, "", kReachWayland};
  }
  if (!facts.x_display) return {false, "", kReachNoDisplay};
  if (!facts.x_reachable) return {false, "", kReachXUnreachable};
  return {true, "xtest", ""};
}

}  // namespace vantriel
