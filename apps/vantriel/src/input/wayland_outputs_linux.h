// The monitors of a Wayland desktop: its outputs, each with its logical position and size
// in the compositor's layout (xdg-output, which accounts for scale, fractional scale and
// rotation; the core wl_output's position, mode and integer scale where the compositor
// lacks it). Those are the coordinates the compositor's virtual pointer and the desktop
// portal's streams take.
#ifndef VANTRIEL_INPUT_WAYLAND_OUTPUTS_LINUX_H_
#define VANTRIEL_INPUT_WAYLAND_OUTPUTS_LINUX_H_

#include <memory>
#include <string>
#include <vector>

#include "input/monitors.h"

namespace vantriel {

// One connection to WAYLAND_DISPLAY that follows outputs as they come, change and go.
// Not thread-safe: the owner serialises calls.
class WaylandOutputs {
 public:
  // Null when no compositor answers.
  static std::unique_ptr<WaylandOutputs> connect();
  ~WaylandOutputs();
  WaylandOutputs(const WaylandOutputs&) = delete;
  WaylandOutputs& operator=(const WaylandOutputs&) = delete;

  // The outputs in the order the compositor announced them, after reading whatever it
  // sent since the last call (no round trip: the compositor announces every change). The
  // output at the layout's origin is the primary one (Wayland has no such notion), else
  // the first. Empty once the connection broke.
  std::vector<MonitorInfo> list();
  bool ok() const;

  struct State;

 private:
  explicit WaylandOutputs(std::unique_ptr<State> state);
  const std::unique_ptr<State> state_;
};

// The monitors of outputs as announced: each output's logical rectangle, or, without
// one, its position with its current mode divided by its scale (swapped when rotated a
// quarter turn). Outputs with no size yet are left out.
struct AnnouncedOutput {
  std::string name;
  // xdg-output's logical rectangle, when it came (w and h above 0).
  int logical_x = 0, logical_y = 0, logical_w = 0, logical_h = 0;
  // The core output's.
  int x = 0, y = 0, mode_w = 0, mode_h = 0, scale = 1;
  bool quarter_turn = false;
};
std::vector<MonitorInfo> monitors_of_outputs(const std::vector<AnnouncedOutput>& outputs);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_WAYLAND_OUTPUTS_LINUX_H_
