#include "input/input_reach.h"

namespace vantriel {

InputReach decide_input_reach(const SessionFacts& facts) {
  const bool wayland = facts.session_type == "wayland" ||
                       (facts.session_type != "x11" && facts.wayland_display && !facts.x_display);
  if (wayland) return {false, "", kReachWayland};
  if (!facts.x_display) return {false, "", kReachNoDisplay};
  if (!facts.x_reachable) return {false, "", kReachXUnreachable};
  return {true, "xtest", ""};
}

}  // namespace vantriel
