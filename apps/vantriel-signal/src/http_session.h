// One HTTP request on the public port: "/health", "/ice" and the technician's page for
// browsers (web_page.h) answered and closed, any other plain request refused, "/host/<id>", "/join/<id>" and "/call/<code>" upgraded to
// a WebSocket session. The request and its reply share one deadline (the handshake
// time-out), and the request's headers and body are bounded. Behind a trusted proxy the
// client's address is taken from the request and counted here. Runs on the I/O thread
// only.
#ifndef VANTRIEL_SIGNAL_HTTP_SESSION_H_
#define VANTRIEL_SIGNAL_HTTP_SESSION_H_

#include <boost/asio/ip/tcp.hpp>

#include "conn_limits.h"

namespace vantriel::signal {

struct ServerState;

// Reads one request from `socket`, which `slot` counts, and serves it; the session owns
// itself until its last operation ends. `state` outlives it.
void start_http_session(boost::asio::ip::tcp::socket socket, ServerState& state, Slot slot);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_HTTP_SESSION_H_
