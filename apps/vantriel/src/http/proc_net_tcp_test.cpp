#include "http/proc_net_tcp.h"

#include <gtest/gtest.h>

#include "http/tcp_end_test_support.h"

namespace vantriel {
namespace {

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

}  // namespace
}  // namespace vantriel
