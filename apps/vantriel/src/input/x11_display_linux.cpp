#include "input/x11_display.h"
#include "morvane/core/sync/mutex.h"

#include <cstdlib>
#include <vector>

namespace vantriel {
namespace {

int ignore_protocol_error(Display*, XErrorEvent*) { return 0; }
int note_io_error(Display*) { return 0; }

}  // namespace

X11Connection::X11Connection() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return;
  // The error handlers are process-wide; installed once, before the first connection.
  static std::once_flag handlers;
  std::call_once(handlers, [] {
    XSetErrorHandler(ignore_protocol_error);
    XSetIOErrorHandler(note_io_error);
  });
  display_ = XOpenDisplay(nullptr);
  if (display_ != nullptr) XSetIOErrorExitHandler(display_, &X11Connection::on_io_error, this);
}

void X11Connection::dispose(std::unique_ptr<X11Connection> conn) {
  if (conn == nullptr || conn->ok()) return;  // a working one closes as it goes
  // Broken connections stay reachable until the process ends.
  // Xlib cannot close a broken connection: it stays reachable until the process ends
  // (at most one per time the X server went away). The list is never destroyed, so a
  // connection that breaks while static objects are torn down has a place too.
  static morvane::Mutex mu;
  static auto* kept PT_GUARDED_BY(mu) = new std::vector<std::unique_ptr<X11Connection>>();
  morvane::MutexLock lock(mu);
  kept->push_back(std::move(conn));
}

X11Connection::~X11Connection() {
  if (display_ != nullptr && !broken_.load()) XCloseDisplay(display_);
}

void X11Connection::on_io_error(Display*, void* self) {
  static_cast<X11Connection*>(self)->broken_.store(true);
}

}  // namespace vantriel
