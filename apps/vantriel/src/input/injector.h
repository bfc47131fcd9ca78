// Remote input: turns a batch of input events from the page into injected mouse and
// keyboard input on this PC, and releases whatever remote control still holds down.
#ifndef VANTRIEL_INPUT_INJECTOR_H_
#define VANTRIEL_INPUT_INJECTOR_H_

#include "input/input_batch.h"

namespace vantriel {

// Applies the events of `batch` against its monitor; returns how many were applied.
int apply_input(const InputBatch& batch);

// Releases every key and mouse button that remote control holds down.
void release_all();

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INJECTOR_H_
