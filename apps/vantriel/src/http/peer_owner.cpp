#include "http/peer_owner.h"

#include <cstdio>

namespace vantriel {

std::string to_string(const TcpEnd& end) {
  char buffer[64];
  const auto& a = end.address;
  if (!end.v6) {
    std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], end.port);
    return buffer;
  }
  // Every group spelled out: the server listens on IPv4, so this is for completeness.
  std::string out = "[";
  for (int i = 0; i < 8; ++i) {
    std::snprintf(buffer, sizeof buffer, i ? ":%x" : "%x", (a[2 * i] << 8) | a[2 * i + 1]);
    out += buffer;
  }
  return out + "]:" + std::to_string(end.port);
}

PeerOwner owner_by_uid(const std::optional<SocketOwner>& owner, std::uint32_t own_uid) {
  if (!owner || owner->inode == 0) return PeerOwner::kUnknown;
  return owner->uid == own_uid ? PeerOwner::kOwnUser : PeerOwner::kOtherUser;
}

}  // namespace vantriel
