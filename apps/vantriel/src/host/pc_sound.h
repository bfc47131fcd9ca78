// The PC's sound in a support session. On Linux the browser records the default output's
// monitor, which also carries what the app window itself plays (the technician's voice on
// the voice line): while a session shares the PC's sound, the host puts a sink of its own
// in front of the person's speakers and makes it the default, so that every other program
// is recorded and still heard, while the browser keeps playing straight to the speakers.
// On Windows the browser records the PC's sound by itself and nothing is prepared.
#ifndef VANTRIEL_HOST_PC_SOUND_H_
#define VANTRIEL_HOST_PC_SOUND_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantriel {

// The sink the host puts in front of the speakers while the PC's sound is shared.
inline constexpr std::string_view kCaptureSink = "vantriel_captura";

// The module index that "pactl load-module" prints, or nothing for any other text.
std::optional<unsigned> parse_module_index(std::string_view output);

// The sink the browser should play to, given the server's default sink: the default
// itself, except when that is the host's own capture sink (a session is sharing the
// PC's sound, or a crashed host left it), which only the `speakers` behind it may
// replace. Empty: leave the browser to the server's choice.
std::string browser_sink(std::string_view default_sink, std::string_view speakers);

// The commands that route the PC's sound for capture, in order: the capture sink, its
// loop to `speakers`, then the capture sink as the default. The module indexes of the
// first two are needed to undo them (undo_script()).
std::vector<std::vector<std::string>> routing_commands(const std::string& speakers);

// A shell script that waits until its standard input ends (the host ended it, or the
// host ended in any way at all), then gives `speakers` back the default output where the
// capture sink still holds it and unloads the two modules. Arguments: $1 speakers, $2
// the loop's module, $3 the capture sink's module.
std::string undo_script();

// The switches the app window's browser needs for the PC's sound on this platform.
std::vector<std::string> pc_sound_browser_switches();

// The OS half. Thread-safe.
class PcSound {
 public:
  virtual ~PcSound() = default;
  // Prepares the PC's sound for a shared screen; false when this PC cannot give it (on
  // Linux, no PulseAudio-compatible server answers), so that the page asks for none.
  virtual bool start_sharing() = 0;
  // Undoes start_sharing(); harmless when nothing was prepared.
  virtual void stop_sharing() = 0;
  // "NAME=value" entries for the environment of a newly started app window browser.
  virtual std::vector<std::string> browser_environment() = 0;
};

std::unique_ptr<PcSound> make_pc_sound();

}  // namespace vantriel

#endif  // VANTRIEL_HOST_PC_SOUND_H_
