#ifndef MORVANE_CORE_NET_LISTEN_OPTIONS_H_
#define MORVANE_CORE_NET_LISTEN_OPTIONS_H_

#include <cstdint>

namespace morvane {

// Socket options for a listening socket, set before bind. On POSIX a restarted server must
// get its port back while connections of the previous run sit in TIME_WAIT (SO_REUSEADDR
// allows only that there). On Windows SO_REUSEADDR would let another program bind the same
// port and take connections meant for us, so there the port is bound exclusively instead
// (SO_EXCLUSIVEADDRUSE), which Windows' own TIME_WAIT handling does not need.
void set_listen_options(std::intptr_t native_socket);

}  // namespace morvane

#endif  // MORVANE_CORE_NET_LISTEN_OPTIONS_H_
