#ifndef VANTRIEL_INPUT_MONITORS_H_
#define VANTRIEL_INPUT_MONITORS_H_

#include <string>
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

// The monitors in the system's enumeration order; empty without a display.
std::vector<MonitorInfo> list_monitors();

// The list as the local API reports it.
nlohmann::ordered_json monitors_json(const std::vector<MonitorInfo>& monitors);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_MONITORS_H_
