// Bounded I/O on a Wayland connection: a compositor that stopped answering must not hold
// the caller (the host's start, a request worker, a thread of ours) forever.
#ifndef VANTRIEL_INPUT_WAYLAND_IO_LINUX_H_
#define VANTRIEL_INPUT_WAYLAND_IO_LINUX_H_

#include <wayland-client.h>

#include <chrono>

namespace vantriel {

using WaylandDeadline = std::chrono::steady_clock::time_point;

// Milliseconds until `deadline`, for poll(): 0 when past, at most a minute.
int ms_left(WaylandDeadline deadline);

// Writes every buffered request, waiting for the socket while it is full. False when the
// connection broke or stayed full until `deadline`.
bool flush_all(wl_display* d, WaylandDeadline deadline);

// wl_display_roundtrip with a deadline.
bool timed_roundtrip(wl_display* d, WaylandDeadline deadline);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_WAYLAND_IO_LINUX_H_
