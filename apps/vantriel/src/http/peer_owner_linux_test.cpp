// The Linux half against the real kernel: both lookups find the very socket of the peer
// with its uid, and a peer that is gone is nobody's. (A peer of another user meets the real
// host in tests/wire/test_owner.py.)
#include "http/peer_owner_linux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>  // Boost 1.74 asio needs std::exchange declared before it under C++20

#include <boost/asio.hpp>

#include <gtest/gtest.h>

namespace vantriel {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

TcpEnd end_of(const tcp::endpoint& endpoint) {
  TcpEnd end;
  end.v6 = endpoint.address().is_v6();
  if (end.v6) {
    auto bytes = endpoint.address().to_v6().to_bytes();
    std::copy(bytes.begin(), bytes.end(), end.address.begin());
  } else {
    auto bytes = endpoint.address().to_v4().to_bytes();
    std::copy(bytes.begin(), bytes.end(), end.address.begin());
  }
  end.port = endpoint.port();
  return end;
}

// A listener on a loopback address; `local` and `remote` are the ends of the connection it
// accepted, as the server sees them.
struct Server {
  explicit Server(const char* address) : acceptor(io) {
    boost::system::error_code ec;
    tcp::endpoint at(asio::ip::make_address(address), 0);
    acceptor.open(at.protocol(), ec);
    if (!ec) acceptor.bind(at, ec);
    if (!ec) acceptor.listen(8, ec);
    ok = !ec;
  }
  void accept() {
    accepted = acceptor.accept();
    local = end_of(accepted.local_endpoint());
    remote = end_of(accepted.remote_endpoint());
  }
  asio::io_context io;
  tcp::acceptor acceptor;
  tcp::socket accepted{io};
  bool ok = false;
  TcpEnd local, remote;
};

void expect_own_peer(const char* address) {
  Server server(address);
  if (!server.ok) GTEST_SKIP() << "no " << address << " here";
  tcp::socket client(server.io);
  client.connect(server.acceptor.local_endpoint());
  server.accept();
  struct stat client_socket {};
  ASSERT_EQ(::fstat(client.native_handle(), &client_socket), 0);
  for (auto lookup : {socket_owner_by_diag, socket_owner_by_proc}) {
    auto owner = lookup(server.remote, server.local);
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->uid, ::geteuid());
    EXPECT_EQ(owner->inode, client_socket.st_ino);  // the client's socket, not the server's
  }
  EXPECT_EQ(loopback_peer_owner(server.local, server.remote), PeerOwner::kOwnUser);
}

TEST(PeerOwnerLinuxTest, BothLookupsFindThePeersOwnSocketIpv4) { expect_own_peer("127.0.0.1"); }
TEST(PeerOwnerLinuxTest, BothLookupsFindThePeersOwnSocketIpv6) { expect_own_peer("::1"); }

TEST(PeerOwnerLinuxTest, APeerThatClosedItsSocketIsUnknown) {
  Server server("127.0.0.1");
  ASSERT_TRUE(server.ok);
  {
    tcp::socket client(server.io);
    client.connect(server.acceptor.local_endpoint());
    server.accept();
  }
  // Once its FIN is acknowledged the peer's socket has no process: listed with inode 0
  // (in TIME_WAIT also with uid 0, which must not pass for root's).
  auto gone = [&] {
    auto owner = socket_owner_by_diag(server.remote, server.local);
    return !owner || owner->inode == 0;
  };
  for (int i = 0; i < 200 && !gone(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  auto by_proc = socket_owner_by_proc(server.remote, server.local);
  EXPECT_TRUE(!by_proc || by_proc->inode == 0);
  EXPECT_EQ(loopback_peer_owner(server.local, server.remote), PeerOwner::kUnknown);
}

}  // namespace
}  // namespace vantriel
