// Desktop control before its injection, monitor and clipboard back ends exist: no input
// is ever injected, so nothing is held and there is nothing to release; no monitors are
// known and the clipboard cannot be reached.
#include "input/clipboard.h"
#include "input/injector.h"
#include "input/monitors.h"

namespace vantriel {

int apply_input(const nlohmann::ordered_json&, int) { return 0; }
void release_all() {}
std::vector<MonitorInfo> list_monitors() { return {}; }

nlohmann::ordered_json monitors_json(const std::vector<MonitorInfo>& monitors) {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const MonitorInfo& m : monitors) {
    out.push_back({{"i", m.i}, {"x", m.x}, {"y", m.y}, {"w", m.w}, {"h", m.h},
                   {"primary", m.primary}, {"name", m.name}});
  }
  return out;
}

std::string read_clipboard_text() { return {}; }
bool write_clipboard_text(std::string_view) { return false; }

}  // namespace vantriel
