// The kernel's text tables of TCP sockets, /proc/net/tcp and /proc/net/tcp6: where the
// owner of a loopback peer is read when socket diagnostics cannot answer (and under Wine,
// where they are the only table that knows the peers outside Wine). Portable text
// parsing, so it is tested on every platform.
#ifndef VANTRIEL_HTTP_PROC_NET_TCP_H_
#define VANTRIEL_HTTP_PROC_NET_TCP_H_

#include <optional>
#include <string_view>

#include "http/peer_owner.h"

namespace vantriel {

// In the text of /proc/net/tcp (IPv4) or /proc/net/tcp6 (IPv6): the owner of the socket
// whose local end is `local` and whose remote end is `remote`. Lines that do not parse are
// skipped; nothing when no line matches.
std::optional<SocketOwner> find_in_proc_net_tcp(std::string_view table, const TcpEnd& local,
                                                const TcpEnd& remote);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_PROC_NET_TCP_H_
