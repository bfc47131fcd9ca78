// Remote input: turns a batch of input events from the page into injected mouse and
// keyboard input on this PC, and releases whatever remote control still holds down.
#ifndef VANTRIEL_INPUT_INJECTOR_H_
#define VANTRIEL_INPUT_INJECTOR_H_

#include <nlohmann/json.hpp>

namespace vantriel {

// Applies the events of `events` (a JSON array; anything else applies nothing) against
// the monitor with index `monitor`; returns how many events were applied.
int apply_input(const nlohmann::ordered_json& events, int monitor);

// Releases every key and mouse button that remote control holds down.
void release_all();

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INJECTOR_H_
