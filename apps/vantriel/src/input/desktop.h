// The desktop as remote control reaches it: the monitors, injected mouse and keyboard
// input, and the clipboard. One object per host, made by the host's owner; every member
// is callable from any request worker, and apply_input() from the server's I/O thread too.
#ifndef VANTRIEL_INPUT_DESKTOP_H_
#define VANTRIEL_INPUT_DESKTOP_H_

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/clipboard.h"
#include "input/input_batch.h"
#include "input/input_decoder.h"
#include "input/input_reach.h"
#include "input/input_sink.h"
#include "input/monitors.h"

namespace vantriel {

struct DesktopOptions {
  // Test switch: record every input call as a JSON line appended to this file instead of
  // injecting it (see FileRecordingSink).
  std::optional<std::string> record_input_to;
  // Test switch: a monitor list that stands for the system's.
  std::optional<std::vector<MonitorInfo>> monitors;
  // Where the person's agreement to remote control is kept between sessions, where the
  // desktop asks for one (the portal).
  std::optional<std::filesystem::path> consent_file;
};

class Desktop {
 public:
  explicit Desktop(DesktopOptions options = {});
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // Whether injected input reaches the desktop, decided once at start (a recording in
  // tests always does).
  const InputReach& input_reach() const { return reach_; }

  std::vector<MonitorInfo> monitors() { return monitors_.list(); }
  VirtualDesktop virtual_desktop() { return monitors_.virtual_desktop(); }

  // Applies the events of `batch` against its monitor while `allowed` says yes (asked
  // before each event and each typed character); returns how many were applied.
  int apply_input(const InputBatch& batch, const StillAllowed& allowed = {});
  // Releases every key and mouse button that remote control holds down, between two
  // events of a batch being applied.
  void release_input() { decoder_.release_all(); }

  // The support session allowed control (each time it does) / ended; see InputSink.
  void control_allowed() { sink_->control_allowed(); }
  void session_over() { sink_->session_over(); }
  // The desktop asks the person now; why control cannot go on (empty when it can).
  bool control_asking() const { return sink_->asking(); }
  std::string control_refusal() const { return sink_->refusal(); }
  // The person turned remote control off in the settings: the next session asks again.
  void forget_consent();

  // Where the clipboard is reached, decided once at start (clipboard_reach.h).
  ClipboardReach clipboard_reach() const { return clipboard_.reach(); }
  morvane::Result<std::string> read_clipboard() { return clipboard_.read_text(); }
  bool write_clipboard(std::string_view utf8) { return clipboard_.write_text(utf8); }

 private:
  MonitorSource monitors_;
  KeptLayout layout_;  // what apply_input() reads monitors_ through
  const InputReach reach_;
  const std::unique_ptr<InputSink> sink_;
  InputDecoder decoder_;  // one pressed-keys list and one pressed-buttons set
  const std::optional<std::filesystem::path> consent_file_;
  Clipboard clipboard_;
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_DESKTOP_H_
