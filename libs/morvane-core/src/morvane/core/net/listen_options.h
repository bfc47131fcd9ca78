#ifndef VANTRIEL_HTTP_LISTEN_OPTIONS_H_
#define VANTRIEL_HTTP_LISTEN_OPTIONS_H_

#include <cstdint>

namespace vantriel {

// Socket options for the listener, set before bind. On POSIX a restarted host must get
// its port back while connections of the previous run sit in TIME_WAIT (the page's
// storage belongs to its origin, port included); on Windows the same option would let
// another program steal a bound port, so there the port is bound exclusively instead.
void set_listen_options(std::intptr_t native_socket);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_LISTEN_OPTIONS_H_
