// The PC's monitors, in the order the system enumerates them; an entry's position is
// the monitor index the page and the input events use.
#ifndef VANTRIEL_INPUT_MONITORS_H_
#define VANTRIEL_INPUT_MONITORS_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "morvane/core/sync/mutex.h"

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

// Where the monitor list comes from: the system's, enumerated anew at every call, or a
// fixed list that stands for it (a test switch: layouts a test display cannot have, two
// monitors, one left of the primary, while the real sink moves the real pointer).
// Thread-safe.
class MonitorSource {
 public:
  explicit MonitorSource(std::optional<std::vector<MonitorInfo>> fixed = std::nullopt);
  ~MonitorSource();
  MonitorSource(const MonitorSource&) = delete;
  MonitorSource& operator=(const MonitorSource&) = delete;

  // The monitors in the system's enumeration order; empty without a display.
  std::vector<MonitorInfo> list();
  // The virtual desktop that goes with list(): the fixed list's bounding box.
  VirtualDesktop virtual_desktop();

  // The platform half (monitors_win.cpp, monitors_linux.cpp): the display connection the
  // queries share, where the platform has one.
  class System;

 private:
  const std::optional<std::vector<MonitorInfo>> fixed_;
  const std::unique_ptr<System> system_;
};

// The layout a batch of input is applied against, kept between batches: read again for
// every batch that places the pointer, and at most kKeptFor apart for batches that do not
// (keys, typed text, the wheel), whose events use no position: on X11 a read is two round
// trips to the display server, which would otherwise lie on the path of every key. Keys
// still find no desktop (an empty list) at most kKeptFor after the display went away.
// Thread-safe.
class KeptLayout {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kKeptFor = std::chrono::seconds(1);

  struct Layout {
    std::vector<MonitorInfo> monitors;
    VirtualDesktop desktop;
  };
  using Read = std::function<Layout()>;

  // `read` runs outside the lock; two batches that both read keep the later reading.
  Layout get(bool places_pointer, Clock::time_point now, const Read& read);

 private:
  morvane::Mutex mu_;
  std::optional<Layout> kept_ GUARDED_BY(mu_);
  Clock::time_point read_at_ GUARDED_BY(mu_);
};

// The list as the local API reports it.
nlohmann::ordered_json monitors_json(const std::vector<MonitorInfo>& monitors);

// Parses a monitor list given as JSON text: an array of objects with integer `x`, `y`,
// `w`, `h` (w and h above 0), optional boolean `primary` and string `name`. nullopt
// when the text is not such a list.
std::optional<std::vector<MonitorInfo>> parse_monitor_list(std::string_view json_text);

// The smallest rectangle that holds every monitor of a non-empty list.
VirtualDesktop bounding_desktop(const std::vector<MonitorInfo>& monitors);

class MonitorSource::System {
 public:
  System();
  ~System();
  std::vector<MonitorInfo> monitors();
  VirtualDesktop virtual_desktop();

 private:
  struct State;
  const std::unique_ptr<State> state_;
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_MONITORS_H_
