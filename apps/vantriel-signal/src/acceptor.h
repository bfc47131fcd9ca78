// The public port's acceptor: takes each TCP connection, counts it against the limits
// on open connections (in all, and per client address unless a trusted proxy names the
// client later) and hands it to an HTTP session, or closes it at once when a limit is
// reached. Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_ACCEPTOR_H_
#define VANTRIEL_SIGNAL_ACCEPTOR_H_

#include <string>

namespace vantriel::signal {

struct ServerState;

// Accepts on `state.acceptor`, which listens, until it is closed.
void accept_connections(ServerState& state);

// The key under which limits count a client: an IPv4 address as written, an IPv6
// address by its /64 network (one host usually owns a whole /64). Empty when `text`
// is not an address.
std::string address_key(const std::string& text);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_ACCEPTOR_H_
