#include "http/tcp_table.h"

namespace vantriel {

std::optional<std::uint32_t> owning_pid(std::span<const TcpTableRow> rows, const TcpEnd& local,
                                        const TcpEnd& remote) {
  for (const auto& row : rows) {
    if (row.local == local && row.remote == remote) {
      if (row.pid == 0) return std::nullopt;
      return row.pid;
    }
  }
  return std::nullopt;
}

}  // namespace vantriel
