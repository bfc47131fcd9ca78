// The process-wide injector behind apply_input and release_all: one decoder (and so one
// pressed-keys list and one pressed-buttons set) over one sink, both made on first use
// and kept until the process ends.
#include "input/injector.h"

#include <cstdlib>
#include <memory>
#include <string_view>

#include "input/input_decoder.h"
#include "input/monitors.h"
#include "input/recording_sink.h"

namespace vantriel {
namespace {

// Test hook: VANTRIEL_INPUT_SINK=record:<file> makes the process record every input
// call as a JSON line appended to <file> (see FileRecordingSink) instead of injecting
// it. Any other value, or none, injects into the system.
std::unique_ptr<InputSink> make_sink() {
  const char* choice = std::getenv("VANTRIEL_INPUT_SINK");
  constexpr std::string_view kRecord = "record:";
  if (choice != nullptr && std::string_view(choice).substr(0, kRecord.size()) == kRecord &&
      std::string_view(choice).size() > kRecord.size()) {
    return std::make_unique<FileRecordingSink>(std::string(choice + kRecord.size()));
  }
  return make_system_input_sink();
}

InputDecoder& decoder() {
  // Never destroyed: request threads and the exit path may still use it while static
  // objects are being torn down.
  static InputSink* const sink = make_sink().release();
  static InputDecoder* const instance = new InputDecoder(*sink);
  return *instance;
}

}  // namespace

int apply_input(const InputBatch& batch) {
  if (batch.events.empty()) return 0;
  const std::vector<MonitorInfo> monitors = list_monitors();
  if (monitors.empty()) return 0;
  return decoder().apply(batch.events, monitors, batch.monitor, current_virtual_desktop());
}

void release_all() { decoder().release_all(); }

}  // namespace vantriel
