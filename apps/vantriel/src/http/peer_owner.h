// Whose process is at the other end of a loopback TCP connection. The page the host serves
// carries its token, and the token opens identity, clipboard, settings and input; any
// process can connect to 127.0.0.1, so the server talks only to connections made by
// processes of the user the host runs as (the browser window the host starts is one).
//
// The OS half finds the peer's socket in the OS's own table of connections and who owns
// it; portable code reads those tables (proc_net_tcp.h, tcp_table.h) and decides:
//   Linux    the socket's uid, from the kernel's socket diagnostics (one exact lookup by
//            the connection's four addresses), or from /proc/net/tcp where those are not
//            available;
//   Windows  the process that owns the peer's port (the TCP table with owning process
//            ids), then that process's token user, compared with this process's.
#ifndef VANTRIEL_HTTP_PEER_OWNER_H_
#define VANTRIEL_HTTP_PEER_OWNER_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vantriel {

// One end of a TCP connection: an IPv4 address in the first 4 bytes, or an IPv6 address,
// in network byte order, and a port.
struct TcpEnd {
  std::array<std::uint8_t, 16> address{};
  bool v6 = false;
  std::uint16_t port = 0;

  friend bool operator==(const TcpEnd&, const TcpEnd&) = default;
};

// "127.0.0.1:50123" or "[0:0:0:0:0:0:0:1]:50123".
std::string to_string(const TcpEnd& end);

enum class PeerOwner {
  kOwnUser,    // a process of the user this process runs as
  kOtherUser,  // a process of another user
  kUnknown,    // not found, gone, or not readable: served no more than another user
};

// Who owns the peer of a connection this process accepted: `local` is this process's end,
// `remote` the peer's. Asks only the local kernel; takes microseconds on Linux and a
// table read on Windows, so it is called once per accepted connection, not per request.
// Thread-safe. Defined by the OS half.
PeerOwner loopback_peer_owner(const TcpEnd& local, const TcpEnd& remote);

// ---- Used by the OS halves; here so that the decision is tested on every platform.

// A socket as the kernel's tables list it.
struct SocketOwner {
  std::uint32_t uid = 0;
  // 0 when no process holds the socket any more: a socket in TIME_WAIT, or one its process
  // closed while its last bytes were still being sent. Its listed uid is then meaningless
  // (0 for TIME_WAIT, which would pass for root).
  std::uint64_t inode = 0;
};

// `owner` is the peer's socket as the kernel lists it, `own_uid` this process's user.
PeerOwner owner_by_uid(const std::optional<SocketOwner>& owner, std::uint32_t own_uid);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_PEER_OWNER_H_
