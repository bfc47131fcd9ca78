#include "host/test_switches.h"

#include <string_view>

#include "base/environment.h"

namespace vantriel {

TestSwitches read_test_switches() {
  TestSwitches switches;
  constexpr std::string_view kRecord = "record:";
  if (auto sink = env_var("VANTRIEL_INPUT_SINK");
      sink && sink->size() > kRecord.size() && sink->compare(0, kRecord.size(), kRecord) == 0) {
    switches.record_input_to = sink->substr(kRecord.size());
  }
  if (auto monitors = env_var("VANTRIEL_TEST_MONITORS"); monitors && !monitors->empty()) {
    switches.monitors = parse_monitor_list(*monitors);
  }
  switches.update_dry_run = env_var("MRV_UPD_DRY_RUN") == std::optional<std::string>("1");
  return switches;
}

}  // namespace vantriel
