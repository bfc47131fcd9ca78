// Connections to the X display for the X11 halves of this module. Linux only.
#ifndef VANTRIEL_INPUT_X11_DISPLAY_H_
#define VANTRIEL_INPUT_X11_DISPLAY_H_

#include <X11/Xlib.h>

#include <atomic>
#include <memory>

namespace vantriel {

// One connection to the display named by DISPLAY. Xlib's default handlers end the
// process on any protocol error and when the server goes away; connections made here
// instead ignore protocol errors (a window that vanished mid-transfer is normal for a
// clipboard owner) and, when the server goes away, mark the connection broken and keep
// the process running. A broken connection is never used again and is not closed (Xlib
// cannot close it cleanly); the next user opens a new one.
class X11Connection {
 public:
  // Opens the display; display() is null when there is none.
  X11Connection();
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  Display* display() const { return broken_.load() ? nullptr : display_; }
  bool ok() const { return display() != nullptr; }

  // Disposes of a connection: closes a working one, keeps a broken one for good.
  static void dispose(std::unique_ptr<X11Connection> conn);

 private:
  static void on_io_error(Display* display, void* self);

  Display* display_ = nullptr;
  std::atomic<bool> broken_{false};
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_X11_DISPLAY_H_
