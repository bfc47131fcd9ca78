#include "host/pc_sound.h"

namespace vantriel {

std::optional<unsigned> parse_module_index(std::string_view output) {
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r' || output.back() == ' ')) {
    output.remove_suffix(1);
  }
  if (output.empty() || output.size() > 9) return std::nullopt;
  unsigned value = 0;
  for (char c : output) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

std::string browser_sink(std::string_view default_sink, std::string_view speakers) {
  if (default_sink != kCaptureSink) return std::string(default_sink);
  return std::string(speakers);
}

std::vector<std::vector<std::string>> routing_commands(const std::string& speakers) {
  const std::string sink(kCaptureSink);
  return {
      {"load-module", "module-null-sink", "sink_name=" + sink,
       "sink_properties=device.description=Vantriel"},
      // A short latency: the person hears every other program through this loop.
      {"load-module", "module-loopback", "source=" + sink + ".monitor", "sink=" + speakers,
       "latency_msec=30", "source_dont_move=true", "sink_dont_move=true"},
      {"set-default-sink", sink},
  };
}

std::string undo_script() {
  const std::string sink(kCaptureSink);
  return "while read -r _; do :; done; "
         "if [ \"$(pactl get-default-sink 2>/dev/null)\" = " + sink +
         " ]; then pactl set-default-sink \"$1\"; fi; "
         "pactl unload-module \"$2\"; pactl unload-module \"$3\"";
}

}  // namespace vantriel
