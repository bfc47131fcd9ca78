// The clipboard of a Wayland compositor that offers wlr-data-control (sway and the other
// wlroots compositors, KDE's KWin): the selection of the compositor's first seat, read and
// set without a window of ours having the focus.
#ifndef VANTRIEL_INPUT_CLIPBOARD_WAYLAND_LINUX_H_
#define VANTRIEL_INPUT_CLIPBOARD_WAYLAND_LINUX_H_

#include <memory>
#include <optional>
#include <string>

namespace vantriel {

// Whether WAYLAND_DISPLAY's compositor offers zwlr_data_control_manager_v1 (a bounded wait).
bool wayland_offers_data_control();

// The selection's text as the offering program sent it, in the first type it offers of
// "text/plain;charset=utf-8", "text/plain", "UTF8_STRING" (UTF-8) and "STRING" (Latin-1,
// given here as UTF-8), at most `max_bytes` of it. Empty when the selection holds no text;
// nullopt when the compositor or the offering program did not answer in time (a silence of
// `idle_ms`, or `total_ms` in all).
std::optional<std::string> read_wayland_selection(std::size_t max_bytes, int idle_ms,
                                                  int total_ms);

// Sets the selection to a text of ours. A thread of this object ("clipboard source") keeps
// the connection and sends the text to each program that pastes it, for as long as the
// selection is ours: until another program takes it, or the object goes.
class WaylandSelectionOwner {
 public:
  WaylandSelectionOwner();
  ~WaylandSelectionOwner();
  WaylandSelectionOwner(const WaylandSelectionOwner&) = delete;
  WaylandSelectionOwner& operator=(const WaylandSelectionOwner&) = delete;

  // `utf8` must be valid UTF-8. False when the compositor did not take it in time.
  bool write(std::string utf8);

  struct State;

 private:
  const std::unique_ptr<State> state_;
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_CLIPBOARD_WAYLAND_LINUX_H_
