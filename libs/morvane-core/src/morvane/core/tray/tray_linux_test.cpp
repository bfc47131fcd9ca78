#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "morvane/core/tray/tray.h"

namespace morvane {
namespace {

// Without a session bus there is no icon, and nothing else breaks: balloons go nowhere,
// the watcher still runs the app's checks, and the tray ends.
TEST(LinuxTray, NoSessionBusNoIcon) {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/morvane-test-bus", 1);
  unsetenv("XDG_RUNTIME_DIR");
  std::atomic<int> checks{0};
  TrayConfig config;
  config.name = "Vantriel";
  config.is_shown = [&] {
    ++checks;
    return false;
  };
  config.window_exists = [] { return false; };
  auto tray = start_tray(config);
  tray->show_balloon("Vantriel", "hola");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (checks.load() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GT(checks.load(), 0) << "the window watcher did not run";
  EXPECT_FALSE(tray->visible());
  tray.reset();  // joins the tray thread, the watcher and any action
}

}  // namespace
}  // namespace morvane
