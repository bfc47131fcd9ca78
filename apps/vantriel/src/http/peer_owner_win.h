// The steps of the Windows half, declared for its tests.
#ifndef VANTRIEL_HTTP_PEER_OWNER_WIN_H_
#define VANTRIEL_HTTP_PEER_OWNER_WIN_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "http/peer_owner.h"
#include "http/tcp_table.h"

namespace vantriel {

// Every TCP connection of the machine (IPv4 or IPv6) with the process that owns its socket.
std::optional<std::vector<TcpTableRow>> read_tcp_table(bool v6);

// Whether process `pid` runs as this process's user.
PeerOwner owner_of_process(std::uint32_t pid);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_PEER_OWNER_WIN_H_
