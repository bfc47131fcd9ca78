// Windows: the browser records the PC's sound itself (a loopback of the default output
// that leaves out the browser's own playback); nothing to prepare.
#include "host/pc_sound.h"

namespace vantriel {
namespace {

class WindowsPcSound : public PcSound {
 public:
  bool start_sharing() override { return true; }
  void stop_sharing() override {}
  std::vector<std::string> browser_environment() override { return {}; }
};

}  // namespace

std::vector<std::string> pc_sound_browser_switches() { return {}; }

std::unique_ptr<PcSound> make_pc_sound() { return std::make_unique<WindowsPcSound>(); }

}  // namespace vantriel
