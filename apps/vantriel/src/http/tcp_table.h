// Windows' table of TCP connections with the process that owns each socket, as rows the
// Windows half reads (peer_owner_win.h) and portable code searches, so the search is
// tested on every platform.
#ifndef VANTRIEL_HTTP_TCP_TABLE_H_
#define VANTRIEL_HTTP_TCP_TABLE_H_

#include <cstdint>
#include <optional>
#include <span>

#include "http/peer_owner.h"

namespace vantriel {

// A row of Windows' TCP table with owning process ids.
struct TcpTableRow {
  TcpEnd local;
  TcpEnd remote;
  std::uint32_t pid = 0;
};

// The process that owns the socket whose local end is `local` and remote end `remote`.
// Nothing when no row matches, or when the row names no process (pid 0: Windows lists
// TIME_WAIT that way, and Wine lists so the sockets of processes outside Wine).
std::optional<std::uint32_t> owning_pid(std::span<const TcpTableRow> rows, const TcpEnd& local,
                                        const TcpEnd& remote);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_TCP_TABLE_H_
