#include "morvane/core/net/listen_options.h"

#include <sys/socket.h>

namespace morvane {

void set_listen_options(std::intptr_t native_socket) {
  int on = 1;
  setsockopt(static_cast<int>(native_socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

}  // namespace morvane
