// Switches that only the black-box tests use, read from the environment once, at start-up,
// in this one place (README.md lists them under "Test switches"):
//   VANTRIEL_INPUT_SINK=record:<file>  record injected input as JSON lines instead of
//                                      injecting it
//   VANTRIEL_TEST_MONITORS=<json>      a monitor list that stands for the system's
//   MRV_UPD_DRY_RUN=1                  stop update installs before the hand-off
#ifndef VANTRIEL_HOST_TEST_SWITCHES_H_
#define VANTRIEL_HOST_TEST_SWITCHES_H_

#include <filesystem>
#include <optional>
#include <vector>

#include "input/monitors.h"

namespace vantriel {

struct TestSwitches {
  std::optional<std::string> record_input_to;
  std::optional<std::vector<MonitorInfo>> monitors;  // nothing when unset or not a list
  bool update_dry_run = false;
};

TestSwitches read_test_switches();

}  // namespace vantriel

#endif  // VANTRIEL_HOST_TEST_SWITCHES_H_
