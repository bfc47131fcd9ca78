#include "http/peer_owner.h"

#include <utility>  // Boost 1.74 asio needs std::exchange declared before it under C++20

#include <boost/asio.hpp>

#include <gtest/gtest.h>

#include "http/tcp_end_test_support.h"

namespace vantriel {
namespace {

TEST(PeerOwnerDecisionTest, UidsOfSocketsAProcessStillHolds) {
  EXPECT_EQ(owner_by_uid(SocketOwner{1000, 42}, 1000), PeerOwner::kOwnUser);
  EXPECT_EQ(owner_by_uid(SocketOwner{0, 42}, 1000), PeerOwner::kOtherUser);
  EXPECT_EQ(owner_by_uid(std::nullopt, 1000), PeerOwner::kUnknown);
  // TIME_WAIT lists uid 0 and inode 0: a host running as root must not take it for its own.
  EXPECT_EQ(owner_by_uid(SocketOwner{0, 0}, 0), PeerOwner::kUnknown);
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
