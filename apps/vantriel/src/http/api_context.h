// What the local API acts on: this run's token and page, and the host's services. The
// host's owner makes it and keeps every service alive for as long as the server runs;
// request workers share it without a lock (each service guards itself).
#ifndef VANTRIEL_HTTP_API_CONTEXT_H_
#define VANTRIEL_HTTP_API_CONTEXT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "morvane/core/shell/startup.h"

namespace vantriel {

class AccessCode;
class DataFolder;
class Desktop;
class Log;
class SessionHistory;
class SupportSessions;
class Updater;

// The shell's answers the routes need. Each action is quick: the host runs the slow part
// (starting a browser, a notification, the exit) on a thread of its own.
struct ShellActions {
  std::function<void()> show_window;
  std::function<void(const std::string& title, const std::string& text)> notify;
  std::function<void()> exit;  // after the reply was sent
  std::function<bool()> startup_enabled;
  std::function<morvane::StartupChange(bool on)> set_startup;
  // Prepares (true) or undoes (false) the PC's sound for a shared screen; whether this PC
  // can give it. Without it the page asks the browser as it is.
  std::function<bool(bool share)> pc_sound;
};

struct ApiContext {
  std::string token;                        // this run's API token, 32 hex digits
  std::uint16_t port = 0;                   // the server's port, set before it starts
  std::shared_ptr<const std::string> page;  // the page with token and version filled in
  const DataFolder& folder;
  const Log& log;
  AccessCode& access_code;
  SupportSessions& sessions;
  const SessionHistory& history;
  Desktop& desktop;
  Updater& updater;
  ShellActions shell;
};

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_API_CONTEXT_H_
