#include "http/tcp_table.h"

#include <gtest/gtest.h>

#include "http/tcp_end_test_support.h"

namespace vantriel {
namespace {

TEST(TcpTableTest, OwningPidOfTheRowWithBothEndsInOrder) {
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

}  // namespace
}  // namespace vantriel
