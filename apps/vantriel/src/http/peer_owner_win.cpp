#include "http/peer_owner_win.h"

// Winsock before windows.h, and iphlpapi after both.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "base/file_util.h"
#include "http/proc_net_tcp.h"

namespace vantriel {
namespace {

TcpEnd v4_end(DWORD address, DWORD port) {
  TcpEnd end;
  std::memcpy(end.address.data(), &address, 4);  // already in network order
  end.port = ntohs(static_cast<u_short>(port));
  return end;
}

TcpEnd v6_end(const UCHAR (&address)[16], DWORD port) {
  TcpEnd end;
  end.v6 = true;
  std::memcpy(end.address.data(), address, 16);
  end.port = ntohs(static_cast<u_short>(port));
  return end;
}

// The TOKEN_USER of a process, whose SID points into the returned bytes.
std::optional<std::vector<std::uint64_t>> token_user(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return std::nullopt;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
  const bool ok = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(),
                                                  static_cast<DWORD>(buffer.size() * 8), &size);
  CloseHandle(token);
  if (!ok) return std::nullopt;
  return buffer;
}

PSID sid_of(const std::vector<std::uint64_t>& token_user) {
  return reinterpret_cast<const TOKEN_USER*>(token_user.data())->User.Sid;
}

bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Under Wine every program of the prefix runs as the Unix user that runs Wine, and the peers
// to refuse (Linux programs of other users) differ from it only there. Wine's own table
// lists the sockets of programs outside Wine without a process, and takes seconds on a
// machine with many connections. So the Unix table decides, as on Linux: the peer's socket
// must have the uid of this process's own end. (Wine's Z: drive is the Unix root.)
PeerOwner unix_owner(const TcpEnd& local, const TcpEnd& remote) {
  auto table = read_file(local.v6 ? L"Z:\\proc\\net\\tcp6" : L"Z:\\proc\\net\\tcp");
  if (!table.ok()) return PeerOwner::kUnknown;
  auto ours = find_in_proc_net_tcp(*table, local, remote);
  if (!ours || ours->inode == 0) return PeerOwner::kUnknown;
  return owner_by_uid(find_in_proc_net_tcp(*table, remote, local), ours->uid);
}

}  // namespace

// The table may grow between asking its size and reading it, hence the retries.
std::optional<std::vector<TcpTableRow>> read_tcp_table(bool v6) {
  std::vector<std::uint64_t> buffer;  // 8-byte aligned for the table's structures
  ULONG size = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size / sizeof(std::uint64_t) + 1);
    size = static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t));
    result = GetExtendedTcpTable(buffer.data(), &size, FALSE, v6 ? AF_INET6 : AF_INET,
                                 TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    size += 16 * sizeof(MIB_TCP6ROW_OWNER_PID);  // room for a few that arrive meanwhile
  }
  if (result != NO_ERROR) return std::nullopt;
  std::vector<TcpTableRow> rows;
  if (v6) {
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    rows.reserve(table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const auto& row = table->table[i];
      rows.push_back({v6_end(row.ucLocalAddr, row.dwLocalPort),
                      v6_end(row.ucRemoteAddr, row.dwRemotePort), row.dwOwningPid});
    }
  } else {
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    rows.reserve(table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const auto& row = table->table[i];
      rows.push_back({v4_end(row.dwLocalAddr, row.dwLocalPort),
                      v4_end(row.dwRemoteAddr, row.dwRemotePort), row.dwOwningPid});
    }
  }
  return rows;
}

// Compares users, not logon sessions or elevation: an elevated process and its user's
// other processes share the user SID, and a process started with another account's
// credentials has that account's.
PeerOwner owner_of_process(std::uint32_t pid) {
  if (pid == GetCurrentProcessId()) return PeerOwner::kOwnUser;
  auto own = token_user(GetCurrentProcess());
  // Limited information is what Windows grants for other users' and elevated processes
  // that are not protected; a process that refuses even that is not served.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return PeerOwner::kUnknown;
  auto theirs = token_user(process);
  CloseHandle(process);
  if (!own || !theirs) return PeerOwner::kUnknown;
  return EqualSid(sid_of(*own), sid_of(*theirs)) ? PeerOwner::kOwnUser : PeerOwner::kOtherUser;
}

PeerOwner loopback_peer_owner(const TcpEnd& local, const TcpEnd& remote) {
  if (running_under_wine()) return unix_owner(local, remote);
  auto rows = read_tcp_table(local.v6);
  if (!rows) return PeerOwner::kUnknown;
  // The peer's socket is the one whose own ends are ours reversed.
  if (auto pid = owning_pid(*rows, remote, local)) return owner_of_process(*pid);
  return PeerOwner::kUnknown;
}

}  // namespace vantriel
