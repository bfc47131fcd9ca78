#include "input/desktop.h"

#include <algorithm>

#include "input/portal_input.h"
#include "input/recording_sink.h"

namespace vantriel {
namespace {

std::unique_ptr<InputSink> make_sink(const DesktopOptions& options, const InputReach& reach) {
  if (options.record_input_to) {
    return std::make_unique<FileRecordingSink>(*options.record_input_to);
  }
  return make_system_input_sink(reach);
}

}  // namespace

Desktop::Desktop(DesktopOptions options)
    : monitors_(std::move(options.monitors)),
      reach_(options.record_input_to ? InputReach{true, "recording", ""} : system_input_reach()),
      sink_(make_sink(options, reach_)),
      decoder_(*sink_),
      consent_file_(options.consent_file) {
  if (consent_file_) sink_->keep_consent_in(*consent_file_);
}

void Desktop::forget_consent() {
  if (consent_file_) forget_restore_token(*consent_file_);
}

Desktop::~Desktop() = default;

int Desktop::apply_input(const InputBatch& batch, const StillAllowed& allowed) {
  if (batch.events.empty()) return 0;
  const bool places_pointer = std::any_of(batch.events.begin(), batch.events.end(),
                                          [](const InputEvent& e) { return e.x && e.y; });
  const KeptLayout::Layout layout =
      layout_.get(places_pointer, KeptLayout::Clock::now(), [this] {
        KeptLayout::Layout read;
        read.monitors = monitors_.list();
        if (!read.monitors.empty()) read.desktop = monitors_.virtual_desktop();
        return read;
      });
  if (layout.monitors.empty()) return 0;
  sink_->virtual_desktop_is(layout.desktop);
  return decoder_.apply(batch.events, layout.monitors, batch.monitor, layout.desktop, allowed);
}

}  // namespace vantriel
