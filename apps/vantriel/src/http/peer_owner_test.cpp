#include "http/peer_owner.h"

#include <utility>  // Boost 1.74 asio needs std::exchange declared before it under C++20

#include <boost/asio.hpp>

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TcpEnd v4(std::uint8_t last, std::uint16_t port) {
  TcpEnd end;
  end.address = {127, 0, 0, last};
  end.port = port;
  return end;
}

// ::`last` or, with `mapped`, ::ffff:127.0.0.`last`.
TcpEnd v6(std::uint8_t last, std::uint16_t port, bool mapped = false) {
  TcpEnd end;
  end.v6 = true;
  if (mapped) end.address[10] = end.address[11] = 0xff, end.address[12] = 127;
  end.address[15] = last;
  end.port = port;
  return end;
}

const TcpEnd kHost = v4(1, 8080);
const TcpEnd kPeer = v4(1, 50123);

// As a little-endian kernel prints them (every machine this runs on): the listener, the
// peer's socket, the host's accepted socket, the peer's port in TIME_WAIT towards another
// server, lines that do not parse, and a last line without its line break.
constexpr char kProcNetTcp[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n"
    "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 0 1111 1\n"
    "   1: 0100007F:C3CB 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000 0 2222 1\n"
    "   2: 0100007F:1F90 0100007F:C3CB 01 00000000:00000000 00:00000000 00000000     0 0 3333 1\n"
    "   3: 0100007F:C3CB 0100007F:1F91 06 00000000:00000000 03:00001770 00000000     0 0 0 3\n"
    "   4: 0100007F:C3CB 0100007F:1F92 01 00000000:00000000 00:00000000 00000000  notanumber\n"
    "   5: 100007F:C3CB 0100007F:1F93 01 00000000:00000000 00:00000000 00000000     0 0 4444 1\n"
    "   6: 0100007F:C3CB 0100007F:1F94 01 00000000:00000000 00:00000000 00000000     0 0 5555";

TEST(ProcNetTcpTest, FindsEachSocketByItsOwnEndsInOrder) {
  auto peer = find_in_proc_net_tcp(kProcNetTcp, kPeer, kHost);
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->uid, 1000u);
  EXPECT_EQ(peer->inode, 2222u);
  EXPECT_EQ(find_in_proc_net_tcp(kProcNetTcp, kHost, kPeer)->inode, 3333u);
  EXPECT_EQ(find_in_proc_net_tcp(kProcNetTcp, kPeer, v4(1, 0x1F91))->inode, 0u);
  EXPECT_EQ(find_in_proc_net_tcp(kProcNetTcp, kPeer, v4(1, 0x1F94))->inode, 5555u);

  EXPECT_FALSE(find_in_proc_net_tcp(kProcNetTcp, kPeer, v4(2, 8080)));
  EXPECT_FALSE(find_in_proc_net_tcp(kProcNetTcp, v4(1, 50124), kHost));
  EXPECT_FALSE(find_in_proc_net_tcp(kProcNetTcp, kPeer, v4(1, 0x1F92)));
  EXPECT_FALSE(find_in_proc_net_tcp(kProcNetTcp, kPeer, v4(1, 0x1F93)));
  EXPECT_FALSE(find_in_proc_net_tcp("", kPeer, kHost));
}

TEST(ProcNetTcpTest, ReadsIpv6AndMappedIpv4Addresses) {
  constexpr char kTcp6[] =
      "  sl  local_address                         remote_address                        st "
      "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 00000000000000000000000001000000:C3CB 00000000000000000000000001000000:1F90 01 "
      "00000000:00000000 00:00000000 00000000    65534        0 7777 1 0000000000000000\n"
      "   1: 0000000000000000FFFF00000100007F:C3CC 0000000000000000FFFF00000100007F:1F90 01 "
      "00000000:00000000 00:00000000 00000000  1001        0 8888 1 0000000000000000\n";
  auto found = find_in_proc_net_tcp(kTcp6, v6(1, 50123), v6(1, 8080));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->uid, 65534u);
  EXPECT_EQ(found->inode, 7777u);
  EXPECT_EQ(find_in_proc_net_tcp(kTcp6, v6(1, 50124, true), v6(1, 8080, true))->uid, 1001u);
  EXPECT_FALSE(find_in_proc_net_tcp(kTcp6, v6(1, 50124), v6(1, 8080)));
  // The same numbers as IPv4 ends are other sockets.
  EXPECT_FALSE(find_in_proc_net_tcp(kTcp6, v4(1, 50124), v4(1, 8080)));
}

TEST(PeerOwnerDecisionTest, UidsOfSocketsAProcessStillHolds) {
  EXPECT_EQ(owner_by_uid(SocketOwner{1000, 42}, 1000), PeerOwner::kOwnUser);
  EXPECT_EQ(owner_by_uid(SocketOwner{0, 42}, 1000), PeerOwner::kOtherUser);
  EXPECT_EQ(owner_by_uid(std::nullopt, 1000), PeerOwner::kUnknown);
  // TIME_WAIT lists uid 0 and inode 0: a host running as root must not take it for its own.
  EXPECT_EQ(owner_by_uid(SocketOwner{0, 0}, 0), PeerOwner::kUnknown);
}

TEST(PeerOwnerDecisionTest, OwningPidOfTheRowWithBothEndsInOrder) {
  const TcpTableRow rows[] = {
      {kHost, kPeer, 4},         // the host's own accepted socket
      {kPeer, v4(1, 9000), 0},   // the same port towards another server, in TIME_WAIT
      {kPeer, kHost, 5120},      // the peer's socket
      {v4(1, 50200), kHost, 0},  // a socket with no process
  };
  EXPECT_EQ(owning_pid(rows, kPeer, kHost), 5120u);
  EXPECT_EQ(owning_pid(rows, kHost, kPeer), 4u);
  EXPECT_EQ(owning_pid(rows, v4(1, 50200), kHost), std::nullopt);
  EXPECT_EQ(owning_pid(rows, kPeer, v4(1, 9000)), std::nullopt);
  EXPECT_EQ(owning_pid(rows, v4(1, 50999), kHost), std::nullopt);
}

TEST(RefusalLogTest, OneLineAMinuteCountingTheRest) {
  RefusalLog log;
  const auto t0 = RefusalLog::Clock::time_point{} + std::chrono::hours(1);
  const std::string head = "[SERVIDOR] Conexi\xC3\xB3n cerrada sin respuesta: 127.0.0.1:50123 ";
  EXPECT_EQ(log.refuse(PeerOwner::kOtherUser, kPeer, t0),
            head + "es de un proceso de otro usuario");
  EXPECT_EQ(log.refuse(PeerOwner::kOtherUser, kPeer, t0 + std::chrono::seconds(1)), std::nullopt);
  EXPECT_EQ(log.refuse(PeerOwner::kUnknown, kPeer, t0 + std::chrono::milliseconds(59999)),
            std::nullopt);
  EXPECT_EQ(log.refuse(PeerOwner::kUnknown, kPeer, t0 + std::chrono::minutes(1)),
            head +
                "es de un proceso que no se pudo identificar (y 2 m\xC3\xA1s desde el aviso "
                "anterior)");
  // The minute runs from the last line logged, and the count starts again.
  EXPECT_EQ(log.refuse(PeerOwner::kOtherUser, kPeer, t0 + std::chrono::seconds(119)), std::nullopt);
  auto next = log.refuse(PeerOwner::kOtherUser, v6(1, 443, true), t0 + std::chrono::seconds(120));
  ASSERT_TRUE(next);
  EXPECT_NE(
      next->find(": [0:0:0:0:0:ffff:7f00:1]:443 es de un proceso de otro usuario (y 1 m\xC3\xA1s "),
      std::string::npos)
      << *next;
}

// The real lookup: a connection this process makes to itself is its own user's (on Linux by
// the socket's uid, on Windows through the TCP table, also under Wine).
TEST(LoopbackPeerOwnerTest, AcceptsAConnectionFromThisProcess) {
  namespace asio = boost::asio;
  using tcp = asio::ip::tcp;
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  tcp::socket client(io);
  client.connect(acceptor.local_endpoint());
  tcp::socket accepted = acceptor.accept();
  const TcpEnd here = v4(1, accepted.local_endpoint().port());
  EXPECT_EQ(loopback_peer_owner(here, v4(1, accepted.remote_endpoint().port())),
            PeerOwner::kOwnUser);
  // A port nobody uses is no connection at all.
  EXPECT_EQ(loopback_peer_owner(here, v4(1, 1)), PeerOwner::kUnknown);
}

}  // namespace
}  // namespace vantriel
