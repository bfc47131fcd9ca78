#include "http/peer_owner_linux.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/file_util.h"
#include "http/proc_net_tcp.h"

namespace vantriel {
namespace {

constexpr std::size_t address_size(const TcpEnd& end) { return end.v6 ? 16 : 4; }

enum class Diag { kFound, kNotFound, kCannotAsk };

// One exact lookup of the socket whose own ends are `local` and `remote`.
Diag ask_sock_diag(const TcpEnd& local, const TcpEnd& remote, SocketOwner& owner) {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return Diag::kCannotAsk;

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;  // no NLM_F_DUMP: one socket, found by its ends
  message.request.sdiag_family = local.v6 ? AF_INET6 : AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  inet_diag_sockid& id = message.request.id;
  id.idiag_sport = htons(local.port);
  id.idiag_dport = htons(remote.port);
  std::memcpy(id.idiag_src, local.address.data(), address_size(local));
  std::memcpy(id.idiag_dst, remote.address.data(), address_size(remote));
  id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  // The kernel answers within sendto(), so the answer is already queued: reading without
  // waiting keeps a kernel that does not answer from ever holding the caller.
  alignas(nlmsghdr) char buffer[4096];
  ssize_t got = -1;
  if (sent == static_cast<ssize_t>(sizeof message)) {
    do {
      got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
  }
  ::close(fd);
  if (got <= 0) return Diag::kCannotAsk;

  int length = static_cast<int>(got);
  const auto* header = reinterpret_cast<const nlmsghdr*>(buffer);
  if (!NLMSG_OK(header, length)) return Diag::kCannotAsk;
  if (header->nlmsg_type == NLMSG_ERROR && header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
    // ENOENT: no such socket, or (the caller tells which) no TCP diagnostics in this kernel.
    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
    return error->error == -ENOENT ? Diag::kNotFound : Diag::kCannotAsk;
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
    return Diag::kCannotAsk;
  }
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  // The exact lookup settles for a listening socket on the same port when the connection
  // is gone; only the socket with this connection's own four ends counts.
  if (found->id.idiag_sport != id.idiag_sport || found->id.idiag_dport != id.idiag_dport ||
      std::memcmp(found->id.idiag_src, id.idiag_src, address_size(local)) != 0 ||
      std::memcmp(found->id.idiag_dst, id.idiag_dst, address_size(remote)) != 0) {
    return Diag::kNotFound;
  }
  owner = SocketOwner{found->idiag_uid, found->idiag_inode};
  return Diag::kFound;
}

}  // namespace

std::optional<SocketOwner> socket_owner_by_diag(const TcpEnd& local, const TcpEnd& remote) {
  SocketOwner owner;
  if (ask_sock_diag(local, remote, owner) != Diag::kFound) return std::nullopt;
  return owner;
}

std::optional<SocketOwner> socket_owner_by_proc(const TcpEnd& local, const TcpEnd& remote) {
  auto table = read_file(local.v6 ? "/proc/net/tcp6" : "/proc/net/tcp");
  if (!table.ok()) return std::nullopt;
  return find_in_proc_net_tcp(*table, local, remote);
}

PeerOwner loopback_peer_owner(const TcpEnd& local, const TcpEnd& remote) {
  // A socket's uid is its creator's effective (file system) uid.
  const auto own_uid = static_cast<std::uint32_t>(::geteuid());
  // The peer's socket is the one whose own ends are ours reversed.
  SocketOwner owner;
  switch (ask_sock_diag(remote, local, owner)) {
    case Diag::kFound:
      return owner_by_uid(owner, own_uid);
    case Diag::kNotFound: {
      // When this process's own end is found, the kernel does answer and the peer is gone.
      // Only a kernel that cannot answer costs the read of the whole table below, so a
      // client that resets its connections at once cannot make every accept pay for it.
      SocketOwner ours;
      if (ask_sock_diag(local, remote, ours) == Diag::kFound) return PeerOwner::kUnknown;
      break;
    }
    case Diag::kCannotAsk:
      break;
  }
  return owner_by_uid(socket_owner_by_proc(remote, local), own_uid);
}

}  // namespace vantriel
