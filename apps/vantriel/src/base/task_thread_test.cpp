#include "base/task_thread.h"

#include <atomic>
#include <fstream>
#include <future>
#include <vector>

#include <gtest/gtest.h>

#include "morvane/core/sync/thread_name.h"

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

TEST(TaskThreadTest, TheSystemKnowsTheThreadByItsName) {
  // Linux keeps 15 bytes, never half a character.
  EXPECT_EQ(morvane::thread_name_prefix("shell", 15), "shell");
  EXPECT_EQ(morvane::thread_name_prefix("actualizaciones del programa", 15), "actualizaciones");
  EXPECT_EQ(morvane::thread_name_prefix("portapapeles ñandú", 15), "portapapeles \xC3\xB1");
  EXPECT_EQ(morvane::thread_name_prefix("portapapeles añ", 15), "portapapeles a");
#ifdef __linux__
  TaskThread thread("vantriel shell thread");
  std::promise<std::string> comm;
  thread.post([&] {
    std::ifstream in("/proc/thread-self/comm");
    std::string line;
    std::getline(in, line);
    comm.set_value(line);
  });
  EXPECT_EQ(comm.get_future().get(), "vantriel shell ");
#endif
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
