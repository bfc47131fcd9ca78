// Decodes batches of remote input events into input records and remembers what they
// hold pressed. Portable: everything the platform does is behind the InputSink.
#ifndef VANTRIEL_INPUT_INPUT_DECODER_H_
#define VANTRIEL_INPUT_INPUT_DECODER_H_

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "input/input_batch.h"
#include "input/input_sink.h"
#include "input/monitors.h"
#include "morvane/core/sync/mutex.h"

namespace vantriel {

// Typed text, in characters (Unicode code points, a line break counting as one). The
// technician's "type text" dialog is for a password, a command or a short paragraph, and
// a person types a few hundred characters a minute: 2,000 is a long paragraph. XTest types
// it in a fraction of a second when the keyboard's layout has its letters, and in about
// 5 s when every letter needs a spare key bound to it (another script). A text event longer than kMaxTextChars is refused whole (a cut
// password would be typed wrong), as is a text that would take a batch past
// kMaxBatchTextChars, and every text after it in that batch. The page holds the same
// bounds; the host holds them against a page that does not.
inline constexpr std::size_t kMaxTextChars = 2000;
inline constexpr std::size_t kMaxBatchTextChars = 2000;
// During a long text the sink is flushed every this many characters, so that what a
// release waits for on the system's side stays a few characters long.
inline constexpr std::size_t kTextFlushChars = 16;
// Wheel amounts are clamped to +-20 notches per event.
inline constexpr int64_t kMaxWheel = 2400;

// Pressed-button bits. Back and forward are tracked too, so that ending control never
// leaves one of them down.
inline constexpr unsigned kButtonLeft = 1u << 0;
inline constexpr unsigned kButtonMiddle = 1u << 1;
inline constexpr unsigned kButtonRight = 1u << 2;
inline constexpr unsigned kButtonBack = 1u << 3;
inline constexpr unsigned kButtonForward = 1u << 4;

// Whether the batch being applied may go on; asked before each event and each character
// of a text, with the event lock held. Empty: always.
using StillAllowed = std::function<bool()>;

// Thread-safe: batches from several request threads may overlap (their events may then
// interleave). Lock order: event_mu_ is taken before the keys mutex and the buttons mutex,
// which are never held together. event_mu_ is held for one event (one character of a
// text) at a time, so release_all() waits for at most that; callers must not hold a lock
// that a batch's StillAllowed takes (the session owner answers it from an atomic).
class InputDecoder {
 public:
  explicit InputDecoder(InputSink& sink) : sink_(sink) {}
  InputDecoder(const InputDecoder&) = delete;
  InputDecoder& operator=(const InputDecoder&) = delete;

  // Applies the first kMaxEventsPerBatch of `events` with positions on monitor `monitor`
  // of `monitors` (an index outside the list means the primary monitor, else the first)
  // inside `desktop`. Returns the number of events applied. With no monitors nothing is
  // applied. The batch stops at the first event (or character of a text) for which
  // `allowed` says no; whoever took the permission away releases what was held
  // (release_all), which then runs between two events.
  int apply(std::span<const InputEvent> events, const std::vector<MonitorInfo>& monitors,
            int monitor, const VirtualDesktop& desktop, const StillAllowed& allowed = {});

  // Releases every key and button held through this decoder, then forgets them. Waits
  // for the event being applied, if any.
  void release_all();

  std::vector<std::string> pressed_keys() const;
  unsigned pressed_buttons() const;

 private:
  bool apply_button(const InputEvent& event, bool down);
  bool apply_key(const InputEvent& event, bool down);
  enum class TextResult { kTyped, kRefused, kStopped };
  // Takes event_mu_ itself, for one character at a time; `budget` is what the batch may
  // still type.
  TextResult apply_text(const InputEvent& event, const StillAllowed& allowed, std::size_t& budget);
  void release_all_locked() REQUIRES(event_mu_);
  void send(std::span<const InputRecord> records) { sink_.send(records); }

  InputSink& sink_;
  // Held while one event or one character is checked and sent.
  morvane::Mutex event_mu_ ACQUIRED_BEFORE(keys_mu_, buttons_mu_);
  mutable morvane::Mutex keys_mu_;
  std::vector<std::string> keys_ GUARDED_BY(keys_mu_);  // in press order, no duplicates
  mutable morvane::Mutex buttons_mu_;
  unsigned buttons_ GUARDED_BY(buttons_mu_) = 0;
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INPUT_DECODER_H_
