#include "morvane/core/net/listen_options.h"

#include <winsock2.h>

namespace morvane {

void set_listen_options(std::intptr_t native_socket) {
  BOOL on = TRUE;
  setsockopt(static_cast<SOCKET>(native_socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace morvane
