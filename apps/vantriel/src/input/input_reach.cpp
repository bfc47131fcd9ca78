#include "input/input_reach.h"

#include <cstdlib>

namespace vantriel {

bool is_wayland_session(const SessionFacts& facts) {
  return facts.session_type == "wayland" ||
         (facts.session_type != "x11" && facts.wayland_display && !facts.x_display);
}

SessionFacts session_facts_from_environment() {
  const auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
  };
  SessionFacts facts;
  const char* type = std::getenv("XDG_SESSION_TYPE");
  facts.session_type = type != nullptr ? type : "";
  facts.wayland_display = set("WAYLAND_DISPLAY");
  facts.x_display = set("DISPLAY");
  return facts;
}

InputReach decide_input_reach(const SessionFacts& facts) {
  if (is_wayland_session(facts)) {
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
