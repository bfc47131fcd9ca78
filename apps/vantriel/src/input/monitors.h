// The PC's monitors, in the order the system enumerates them; an entry's position is
// the monitor index the page and the input events use.
#ifndef VANTRIEL_INPUT_MONITORS_H_
#define VANTRIEL_INPUT_MONITORS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vantriel {

struct MonitorInfo {
  int i = 0;
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
  bool primary = false;
  std::string name;
};

// The rectangle that holds every monitor, in the coordinates of MonitorInfo: the
// Windows virtual screen, the X root window.
struct VirtualDesktop {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
};

// The monitors in the system's enumeration order; empty without a display. Enumerated
// anew at every call. The test hook VANTRIEL_TEST_MONITORS (see monitors.cpp) replaces
// the system's list.
std::vector<MonitorInfo> list_monitors();

// The virtual desktop that goes with list_monitors().
VirtualDesktop current_virtual_desktop();

// The list as the local API reports it.
nlohmann::ordered_json monitors_json(const std::vector<MonitorInfo>& monitors);

// Parses a monitor list given as JSON text: an array of objects with integer `x`, `y`,
// `w`, `h` (w and h above 0), optional boolean `primary` and string `name`. nullopt
// when the text is not such a list.
std::optional<std::vector<MonitorInfo>> parse_monitor_list(std::string_view json_text);

// The smallest rectangle that holds every monitor of a non-empty list.
VirtualDesktop bounding_desktop(const std::vector<MonitorInfo>& monitors);

// The platform halves (monitors_win.cpp, monitors_linux.cpp).
std::vector<MonitorInfo> system_monitors();
VirtualDesktop system_virtual_desktop();

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_MONITORS_H_
