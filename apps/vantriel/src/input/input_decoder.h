// Decodes batches of remote input events into input records and remembers what they
// hold pressed. Portable: everything the platform does is behind the InputSink.
#ifndef VANTRIEL_INPUT_INPUT_DECODER_H_
#define VANTRIEL_INPUT_INPUT_DECODER_H_

#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "input/input_batch.h"
#include "input/input_sink.h"
#include "input/monitors.h"

namespace vantriel {

// A text event types at most this many characters.
inline constexpr std::size_t kMaxTextChars = 4000;
// Wheel amounts are clamped to +-20 notches per event.
inline constexpr int64_t kMaxWheel = 2400;

// Pressed-button bits. Back and forward are tracked too, so that ending control never
// leaves one of them down.
inline constexpr unsigned kButtonLeft = 1u << 0;
inline constexpr unsigned kButtonMiddle = 1u << 1;
inline constexpr unsigned kButtonRight = 1u << 2;
inline constexpr unsigned kButtonBack = 1u << 3;
inline constexpr unsigned kButtonForward = 1u << 4;

// Thread-safe: batches from several request threads may overlap (their events may then
// interleave). Lock order: the keys mutex and the buttons mutex are never held together;
// callers may hold their own locks (the session lock) around release_all().
class InputDecoder {
 public:
  explicit InputDecoder(InputSink& sink) : sink_(sink) {}
  InputDecoder(const InputDecoder&) = delete;
  InputDecoder& operator=(const InputDecoder&) = delete;

  // Applies the first kMaxEventsPerBatch of `events` with positions on monitor `monitor`
  // of `monitors` (an index outside the list means the primary monitor, else the first)
  // inside `desktop`. Returns the number of events applied. With no monitors nothing is
  // applied.
  int apply(std::span<const InputEvent> events, const std::vector<MonitorInfo>& monitors,
            int monitor, const VirtualDesktop& desktop);

  // Releases every key and button held through this decoder, then forgets them.
  void release_all();

  std::vector<std::string> pressed_keys() const;
  unsigned pressed_buttons() const;

 private:
  bool apply_button(const InputEvent& event, bool down);
  bool apply_key(const InputEvent& event, bool down);
  bool apply_text(const InputEvent& event);
  void send(std::span<const InputRecord> records) { sink_.send(records); }

  InputSink& sink_;
  mutable std::mutex keys_mu_;
  std::vector<std::string> keys_;  // GUARDED_BY(keys_mu_), in press order, no duplicates
  mutable std::mutex buttons_mu_;
  unsigned buttons_ = 0;  // GUARDED_BY(buttons_mu_)
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INPUT_DECODER_H_
