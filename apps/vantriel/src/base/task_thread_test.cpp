#include "base/task_thread.h"

#include <atomic>
#include <future>
#include <vector>

#include <gtest/gtest.h>

namespace vantriel {
namespace {

TEST(TaskThreadTest, RunsInOrderOfDueTimeThenOfPosting) {
  std::vector<int> order;
  std::promise<void> done;
  {
    TaskThread thread("test");
    thread.post_delayed([&] { order.push_back(3); }, std::chrono::milliseconds(60));
    thread.post([&] { order.push_back(1); });
    thread.post([&] { order.push_back(2); });
    thread.post_delayed([&] { order.push_back(4); done.set_value(); }, std::chrono::milliseconds(80));
    done.get_future().wait();
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(TaskThreadTest, TasksRunOnTheirThreadAndMayPostMore) {
  TaskThread thread("test");
  std::promise<bool> seen;
  thread.post([&] {
    thread.post([&] { seen.set_value(thread.on_task_thread()); });
  });
  EXPECT_TRUE(seen.get_future().get());
  EXPECT_FALSE(thread.on_task_thread());
}

TEST(TaskThreadTest, DestructionDropsWaitingTasksAndWaitsForTheRunningOne) {
  std::atomic<int> ran{0};
  std::promise<void> started;
  {
    TaskThread thread("test");
    thread.post([&] {
      started.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ran += 1;
    });
    thread.post_delayed([&] { ran += 10; }, std::chrono::hours(1));
    started.get_future().wait();
  }
  EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace vantriel
