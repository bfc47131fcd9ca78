#include "guard.h"

#include <gtest/gtest.h>

namespace vantriel::signal {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Policy small_policy() {
  Policy p;
  p.id_max_fails = 3;
  p.id_window = 60;
  p.id_lock = 120;
  p.addr_max_fails = 5;
  p.addr_window = 600;
  p.addr_lock = 3600;
  p.delay_base_ms = 100;
  p.delay_max_ms = 350;
  p.joins_per_min = 4;
  p.new_ids_per_hour = 2;
  return p;
}

TEST(Guard, DelaysGrowAndTheIdLocksAtTheLimit) {
  Guard g(small_policy());
  const auto t0 = std::chrono::steady_clock::now();
  auto v = g.wrong_code("111111111", "10.0.0.1", t0);
  EXPECT_EQ(v.delay, milliseconds(100));
  EXPECT_EQ(v.id_lock_minutes, 0);
  EXPECT_TRUE(g.held("111111111", "10.9.9.9", t0 + milliseconds(50)));
  EXPECT_TRUE(g.held("222222222", "10.0.0.1", t0 + milliseconds(50)));
  EXPECT_FALSE(g.held("111111111", "10.0.0.1", t0 + milliseconds(100)));
  v = g.wrong_code("111111111", "10.0.0.2", t0 + seconds(1));
  EXPECT_EQ(v.delay, milliseconds(200));
  v = g.wrong_code("111111111", "10.0.0.3", t0 + seconds(2));
  EXPECT_EQ(v.delay, milliseconds(350));  // capped
  EXPECT_EQ(v.id_lock_minutes, 2);
  EXPECT_EQ(g.id_lock_minutes("111111111", t0 + seconds(2)), 2);
  EXPECT_EQ(g.id_lock_minutes("111111111", t0 + seconds(63)), 1);  // 59 s left: rounds up
  EXPECT_EQ(g.id_lock_minutes("111111111", t0 + seconds(122)), 0);
  EXPECT_EQ(g.addr_lock_minutes("10.0.0.1", t0 + seconds(2)), 0);
}

TEST(Guard, FailuresOutsideTheWindowAreForgottenAndAcceptanceForgivesOnlyTheId) {
  Guard g(small_policy());
  const auto t0 = std::chrono::steady_clock::now();
  g.wrong_code("111111111", "10.0.0.1", t0);
  g.wrong_code("111111111", "10.0.0.1", t0 + seconds(1));
  // The window of 60 s has passed: this is the first of a new run.
  auto v = g.wrong_code("111111111", "10.0.0.9", t0 + seconds(70));
  EXPECT_EQ(v.id_lock_minutes, 0);
  // An accepted request clears the ID's run, not the address's: the address that owns
  // one ID and accepts itself between guesses at another is still locked at its fifth.
  g.accepted("111111111");
  for (int i = 0; i < 3; ++i) {
    v = g.wrong_code("111111111", "10.0.0.9", t0 + seconds(71 + i));
    EXPECT_EQ(v.id_lock_minutes, 0);
    g.accepted("111111111");
  }
  EXPECT_EQ(v.delay, milliseconds(350));  // the address's run of four sets it
  v = g.wrong_code("222222222", "10.0.0.9", t0 + seconds(75));
  EXPECT_EQ(v.addr_lock_minutes, 60);
}

TEST(Guard, CallCodesNotFoundLockTheAddress) {
  Policy p = small_policy();
  p.call_max_misses = 3;
  p.call_window = 60;
  p.call_lock = 7200;
  Guard g(p);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(g.room_missed("10.0.0.5", t0), 0);
  EXPECT_EQ(g.room_missed("10.0.0.5", t0 + seconds(1)), 0);
  EXPECT_EQ(g.room_missed("10.0.0.5", t0 + seconds(70)), 0);  // a new run
  EXPECT_EQ(g.room_missed("10.0.0.5", t0 + seconds(71)), 0);
  EXPECT_EQ(g.room_missed("10.0.0.5", t0 + seconds(72)), 120);
  // The address's one lock, which support joins heed as well.
  EXPECT_EQ(g.addr_lock_minutes("10.0.0.5", t0 + seconds(72)), 120);
  EXPECT_EQ(g.addr_lock_minutes("10.0.0.6", t0 + seconds(72)), 0);
  // A shorter lock for wrong codes meanwhile does not cut it short.
  for (int i = 0; i < 5; ++i) {
    g.wrong_code("33333333" + std::to_string(i), "10.0.0.5", t0 + seconds(73));
  }
  EXPECT_EQ(g.addr_lock_minutes("10.0.0.5", t0 + seconds(73)), 120);
  g.sweep(t0 + seconds(73 + 7200));
  EXPECT_EQ(g.tracked(), 0u);
}

TEST(Guard, OneAddressSprayingManyIdsIsLocked) {
  Guard g(small_policy());
  const auto t0 = std::chrono::steady_clock::now();
  Guard::Verdict v;
  for (int i = 0; i < 5; ++i) {
    v = g.wrong_code("30000000" + std::to_string(i), "10.0.0.7", t0 + seconds(i));
  }
  EXPECT_EQ(v.addr_lock_minutes, 60);
  EXPECT_EQ(v.id_lock_minutes, 0);
  EXPECT_EQ(g.addr_lock_minutes("10.0.0.7", t0 + seconds(10)), 60);
  EXPECT_EQ(g.addr_lock_minutes("10.0.0.8", t0 + seconds(10)), 0);
}

TEST(Guard, AllowancesPerAddressRefillAfterTheirWindow) {
  Guard g(small_policy());
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(g.allow_join("10.0.0.1", t0));
  EXPECT_FALSE(g.allow_join("10.0.0.1", t0 + seconds(30)));
  EXPECT_TRUE(g.allow_join("10.0.0.2", t0 + seconds(30)));
  EXPECT_TRUE(g.allow_join("10.0.0.1", t0 + seconds(61)));
  EXPECT_TRUE(g.allow_new_id("10.0.0.1", t0));
  EXPECT_TRUE(g.allow_new_id("10.0.0.1", t0));
  EXPECT_FALSE(g.allow_new_id("10.0.0.1", t0 + seconds(3599)));
  EXPECT_TRUE(g.allow_new_id("10.0.0.1", t0 + seconds(3600)));
  Policy p = small_policy();
  p.new_rooms_per_hour = 1;
  Guard rooms(p);
  EXPECT_TRUE(rooms.allow_new_room("10.0.0.1", t0));
  EXPECT_FALSE(rooms.allow_new_room("10.0.0.1", t0 + seconds(3599)));
  EXPECT_TRUE(rooms.allow_new_room("10.0.0.2", t0 + seconds(3599)));
  rooms.sweep(t0 + seconds(7200));
  EXPECT_EQ(rooms.tracked(), 0u);
}

TEST(Guard, SweepKeepsOnlyLiveEntries) {
  Guard g(small_policy());
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) g.wrong_code("111111111", "10.0.0.1", t0);
  g.allow_join("10.0.0.2", t0);
  g.sweep(t0 + seconds(90));  // the ID's lock is live; the join allowance is spent
  EXPECT_EQ(g.id_lock_minutes("111111111", t0 + seconds(90)), 1);
  g.sweep(t0 + seconds(4000));
  EXPECT_EQ(g.tracked(), 0u);
}

}  // namespace
}  // namespace vantriel::signal
