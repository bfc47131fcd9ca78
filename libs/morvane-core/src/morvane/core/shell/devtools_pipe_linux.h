// The browser's DevTools pipe on Linux: a Chromium-family browser started with
// --remote-debugging-pipe reads commands on its descriptor 3 and writes answers on 4, each
// a JSON text ended by a NUL byte. On Wayland no other program may raise or minimise a
// client's window, but the browser may ask the compositor about its own (xdg-activation);
// this is how the app window is brought forward and hidden there. The browser ends when
// the pipe closes, so its window lives no longer than the program that owns the pipe.
#ifndef MORVANE_CORE_SHELL_DEVTOOLS_PIPE_LINUX_H_
#define MORVANE_CORE_SHELL_DEVTOOLS_PIPE_LINUX_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "morvane/core/result.h"
#include "morvane/core/sync/mutex.h"

namespace morvane {

// The next whole message in `pending` (bytes read from the browser), removed from it with
// its NUL; nothing while the message is still incomplete.
std::optional<std::string> take_devtools_message(std::string& pending);

// Thread-safe: calls are serialised, one command and its answer at a time.
class DevToolsPipe {
 public:
  // Makes both pipes; the browser's ends are browser_reads() and browser_writes(), to be
  // passed as its descriptors 3 and 4 and closed here once it started.
  static Result<std::unique_ptr<DevToolsPipe>> open();
  ~DevToolsPipe();
  DevToolsPipe(const DevToolsPipe&) = delete;
  DevToolsPipe& operator=(const DevToolsPipe&) = delete;

  int browser_reads() const { return browser_reads_; }
  int browser_writes() const { return browser_writes_; }
  void close_browser_ends();

  // Sends `method` with `params` (a JSON object's text) and waits up to `timeout` for its
  // answer; events that come meanwhile are skipped. The answer's "result" object as JSON
  // text, or why there is none: the browser's error message, its end (the pipe closed) or
  // the time-out. After the browser's end every later call fails at once.
  Result<std::string> call(std::string_view method, std::string_view params,
                                               std::chrono::milliseconds timeout);

 private:
  DevToolsPipe() = default;

  int to_browser_ = -1;
  int from_browser_ = -1;
  int browser_reads_ = -1;
  int browser_writes_ = -1;
  morvane::Mutex mu_;
  int next_id_ GUARDED_BY(mu_) = 1;
  std::string pending_ GUARDED_BY(mu_);  // bytes read past the last whole message
  std::string broken_ GUARDED_BY(mu_);  // why the pipe no longer serves, once it does not
};

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_DEVTOOLS_PIPE_LINUX_H_
