#include "http/refusal_log.h"

#include <gtest/gtest.h>

#include "http/tcp_end_test_support.h"

namespace vantriel {
namespace {

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

}  // namespace
}  // namespace vantriel
