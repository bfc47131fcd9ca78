// The two ways the Linux half finds a socket's owner, declared for its tests and the
// server benchmark. Each takes the socket's own ends: for the peer of an accepted
// connection, `local` is the peer's end and `remote` the server's.
#ifndef VANTRIEL_HTTP_PEER_OWNER_LINUX_H_
#define VANTRIEL_HTTP_PEER_OWNER_LINUX_H_

#include <optional>

#include "http/peer_owner.h"

namespace vantriel {

// One exact lookup through NETLINK_SOCK_DIAG. Nothing when the socket is not found or the
// kernel cannot answer (no TCP diagnostics built or loaded, or not for this process).
// Never blocks.
std::optional<SocketOwner> socket_owner_by_diag(const TcpEnd& local, const TcpEnd& remote);

// The same from /proc/net/tcp or /proc/net/tcp6, read whole: slower, as it grows with the
// machine's connections. loopback_peer_owner() reads it only when the kernel cannot answer
// the lookup above.
std::optional<SocketOwner> socket_owner_by_proc(const TcpEnd& local, const TcpEnd& remote);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_PEER_OWNER_LINUX_H_
