#include "input/wayland_io_linux.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace vantriel {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

// Writes every buffered request, waiting for the socket while it is full. False when the
// connection broke or stayed full until `deadline`.
bool flush_all(wl_display* d, Clock::time_point deadline) {
  for (;;) {
    if (wl_display_flush(d) >= 0) return true;
    if (errno != EAGAIN) return false;
    pollfd p{wl_display_get_fd(d), POLLOUT, 0};
    const int r = poll(&p, 1, ms_left(deadline));
    if (r == 0) return false;
    if (r < 0 && errno != EINTR) return false;
  }
}

// wl_display_roundtrip with a deadline: a compositor that stopped answering must not
// hold the caller (the host's start, a request worker) forever.
bool timed_roundtrip(wl_display* d, Clock::time_point deadline) {
  bool done = false;
  static const wl_callback_listener kDone{
      [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
  wl_callback* callback = wl_display_sync(d);
  if (callback == nullptr) return false;
  wl_callback_add_listener(callback, &kDone, &done);
  bool ok = flush_all(d, deadline);
  while (ok && !done) {
    if (wl_display_dispatch_pending(d) < 0) {
      ok = false;
      break;
    }
    if (done) break;
    if (wl_display_prepare_read(d) != 0) continue;  // events queued meanwhile
    pollfd p{wl_display_get_fd(d), POLLIN, 0};
    const int r = poll(&p, 1, ms_left(deadline));
    if (r <= 0) {
      wl_display_cancel_read(d);
      if (r < 0 && errno == EINTR) continue;
      ok = false;
      break;
    }
    if (wl_display_read_events(d) < 0) ok = false;
  }
  wl_callback_destroy(callback);
  return ok && done && wl_display_get_error(d) == 0;
}

}  // namespace vantriel
