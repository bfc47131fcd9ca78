// The network side: one I/O thread that accepts TCP connections, answers "/health" and
// "/ice", upgrades "/host/<id>", "/join/<id>" and "/call/<code>" to WebSocket, enforces
// the per-connection limits and hands parsed messages to the Hub.
#ifndef VANTRIEL_SIGNAL_SERVER_H_
#define VANTRIEL_SIGNAL_SERVER_H_

#include <string>
#include <string_view>

#include "config.h"

namespace vantriel::signal {

// Runs until SIGINT or SIGTERM; writes "listening on http://ADDRESS:PORT" on standard
// output once the socket is bound (with the real port when `port` is 0). Returns the
// process exit code.
int run_server(const Config& config);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_SERVER_H_
