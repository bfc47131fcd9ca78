// The icon in the notification area (the StatusNotifierItem of a tray host on Linux),
// its menu, its balloons, and the watcher that says once that the program keeps running
// after its window closes. The app hands it its texts and six operations; the tray runs
// on a thread of its own that the Tray object starts and joins.
#ifndef MORVANE_CORE_TRAY_TRAY_H_
#define MORVANE_CORE_TRAY_TRAY_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

struct TrayConfig {
  std::string name;  // "Vantriel": window title, menu texts, balloon titles
  std::string tip;   // tooltip and first (disabled) menu line; cut to 127 UTF-16 units
  std::string icon_path;
  // The menu's texts (the app's language): "Mostrar Vantriel", "Ocultar la ventana",
  // "Abrir al iniciar Windows" (or its platform's wording), "Salir de Vantriel".
  std::string show_text, hide_text, startup_text, exit_text;
  // The watcher's one balloon when the window is closed while the program keeps running
  // in the tray. Where no icon shows, nothing would lead back to the program: closing the
  // window then ends it (through `exit`) instead.
  std::string closed_title, closed_text;

  // The operations run off the tray's own loop, on threads the Tray owns and joins, so
  // they may block (a browser starting, a program run). The Tray is destroyed by its
  // owner, never from inside an operation: `exit` asks the owner to end and returns.
  std::function<void()> show;
  std::function<void()> hide;
  std::function<bool()> is_shown;       // window visible and not minimised
  std::function<bool()> window_exists;  // window found in any state
  std::function<bool()> is_startup_enabled;
  std::function<std::string(bool)> set_startup;  // returns the text to show in a balloon
  std::function<void()> exit;
};

// One line of the menu, built afresh each time it opens.
struct TrayMenuItem {
  enum class Kind { kLabel, kSeparator, kCommand };
  Kind kind = Kind::kCommand;
  int id = 0;  // 1 tip, 2 show, 3 hide, 5 start at log-on, 9 exit
  std::string text;
  bool enabled = true;
  bool checked = false;
};

std::vector<TrayMenuItem> tray_menu(const TrayConfig& config, bool shown, bool startup_enabled);

// `text` cut to at most `max_units` UTF-16 code units, never inside a character.
std::string cut_to_utf16_units(std::string_view text, std::size_t max_units);

class Tray {
 public:
  virtual ~Tray() = default;  // closes the icon and joins the tray's threads
  // Callable from any thread; a balloon asked for before the icon exists is shown when it
  // does (a newer one replaces an older pending one). Title cut to 63 units, text to 255.
  virtual void show_balloon(const std::string& title, const std::string& text) = 0;
  // Removes the icon; the destructor does it too.
  virtual void close() = 0;
  // Whether an icon is showing (false where no tray host runs).
  virtual bool visible() const = 0;
};

// Starts the tray thread and the window watcher. On Linux without a tray host the object
// shows no icon and balloons go to desktop notifications where a notification service
// runs.
std::unique_ptr<Tray> start_tray(TrayConfig config);

// The watcher's decision, checked every 2 s, when the window, once seen shown, is gone
// altogether (a minimised or hidden window does not count): with the icon showing, one
// balloon the first time; with no icon, the program is asked to end.
class WindowWatcher {
 public:
  explicit WindowWatcher(const TrayConfig& config) : config_(config) {}
  // One check; returns whether the window is shown now (the tray's shown flag).
  bool check(bool icon_visible,
             const std::function<void(const std::string&, const std::string&)>& balloon);

 private:
  const TrayConfig& config_;
  bool seen_shown_ = false;
  bool warned_ = false;
};

}  // namespace morvane

#endif  // MORVANE_CORE_TRAY_TRAY_H_
