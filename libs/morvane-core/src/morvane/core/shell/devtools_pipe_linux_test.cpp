#include "morvane/core/shell/devtools_pipe_linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "morvane/core/shell/app_window_linux.h"
#include "morvane/core/shell/spawn_linux.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;

// Everything the browser's end read until `count` commands (NUL-ended) arrived.
std::string read_commands(int fd, int count) {
  std::string got;
  char c;
  while (count > 0 && ::read(fd, &c, 1) == 1) {
    got.push_back(c);
    if (c == '\0') --count;
  }
  return got;
}

void write_all(int fd, std::string_view bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(DevToolsPipe, MessagesAreCutAtTheirNulOnlyOnceWhole) {
  std::string pending("{\"id\":1}\0{\"id\"", 14);
  EXPECT_EQ(take_devtools_message(pending), "{\"id\":1}");
  EXPECT_EQ(take_devtools_message(pending), std::nullopt);
  pending.append(std::string(":2}\0", 4));
  EXPECT_EQ(take_devtools_message(pending), "{\"id\":2}");
  EXPECT_TRUE(pending.empty());
}

// The answer with the command's id is the call's, whatever comes before it: events, a
// late answer to an earlier call, garbage, and the answer itself split across writes.
TEST(DevToolsPipe, TakesItsOwnAnswerPastEventsAndLateAnswers) {
  auto pipe = DevToolsPipe::open();
  ASSERT_TRUE(pipe) << pipe.error();
  DevToolsPipe& p = **pipe;
  std::string commands;
  std::thread browser([&] {
    commands = read_commands(p.browser_reads(), 2);
    const char nul = '\0';
    write_all(p.browser_writes(), std::string(R"({"method":"Target.targetCreated"})") + nul + "not json" + nul);
    write_all(p.browser_writes(), std::string(R"({"id":1,"result":{"late":1}})") + nul + R"({"id":2,"res)");
    std::this_thread::sleep_for(20ms);
    write_all(p.browser_writes(), std::string(R"(ult":{"windowId":7}})") + nul);
  });
  // The first call gives up before the browser answers; the second still gets its own.
  auto first = p.call("Target.getTargets", "", 1ms);
  EXPECT_FALSE(first);
  auto second = p.call("Browser.getWindowForTarget", R"({"targetId":"A"})", 5s);
  browser.join();
  ASSERT_TRUE(second) << second.error();
  EXPECT_EQ(*second, R"({"windowId":7})");
  EXPECT_EQ(commands, std::string(R"({"id":1,"method":"Target.getTargets","params":{}})") + '\0' +
                          R"({"id":2,"method":"Browser.getWindowForTarget","params":{"targetId":"A"}})" + '\0');
}

TEST(DevToolsPipe, ABrowserErrorIsTheCallsAndAGoneBrowserEndsEveryLaterCall) {
  auto pipe = DevToolsPipe::open();
  ASSERT_TRUE(pipe) << pipe.error();
  DevToolsPipe& p = **pipe;
  std::thread browser([&] {
    read_commands(p.browser_reads(), 1);
    write_all(p.browser_writes(), std::string(R"({"id":1,"error":{"code":-32000,"message":"No target with given id found"}})") + '\0');
    read_commands(p.browser_reads(), 1);
    p.close_browser_ends();  // the browser ends
  });
  auto refused = p.call("Target.activateTarget", R"({"targetId":"gone"})", 5s);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "No target with given id found");
  auto gone = p.call("Target.getTargets", "", 5s);
  browser.join();
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error(), "the browser closed its DevTools pipe");
  // No write to a pipe nobody reads (which would raise SIGPIPE), no wait.
  const auto started = std::chrono::steady_clock::now();
  auto again = p.call("Target.getTargets", "", 5s);
  ASSERT_FALSE(again);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
}

// A program started with the pipe's ends has them as its descriptors 3 and 4, and none
// of this process's others.
TEST(DevToolsPipe, AStartedProgramGetsTheEndsAsThreeAndFour) {
  auto pipe = DevToolsPipe::open();
  ASSERT_TRUE(pipe) << pipe.error();
  const std::filesystem::path out = ::testing::TempDir() + "devtools_fds";
  std::filesystem::remove(out);
  // It answers id 1 on 4 once a command arrived on 3, and lists its descriptors.
  const std::string script = "head -c 1 <&3 >/dev/null; printf '{\"id\":1,\"result\":{\"ok\":true}}\\000' >&4; "
                             "ls /proc/self/fd > '" + out.string() + "'";
  ASSERT_EQ(spawn_unowned("/bin/sh", {"-c", script}, false, {},
                          {(*pipe)->browser_reads(), (*pipe)->browser_writes()}), 0);
  (*pipe)->close_browser_ends();
  auto answer = (*pipe)->call("Browser.getVersion", "", 10s);
  ASSERT_TRUE(answer) << answer.error();
  EXPECT_EQ(*answer, R"({"ok":true})");
  std::error_code ec;
  for (int i = 0; i < 200 && (!std::filesystem::exists(out, ec) || std::filesystem::file_size(out, ec) == 0); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  std::ifstream listing(out);
  std::string fds, fd;
  while (listing >> fd) fds += fd + " ";
  // 0-2, 3 and 4, and the descriptor ls itself opens for /proc/self/fd.
  EXPECT_EQ(fds.substr(0, 10), "0 1 2 3 4 ") << fds;
  EXPECT_LE(fds.size(), 12u) << fds;
}

TEST(DevToolsPipe, ThePageTargetIsTheFirstOfTypePage) {
  EXPECT_EQ(first_page_target(R"({"targetInfos":[{"targetId":"U","type":"browser_ui"},)"
                              R"({"targetId":"P","type":"page"},{"targetId":"Q","type":"page"}]})"),
            "P");
  EXPECT_EQ(first_page_target(R"({"targetInfos":[{"targetId":"U","type":"browser_ui"}]})"), std::nullopt);
  EXPECT_EQ(first_page_target(R"({"targetInfos":[{"targetId":7,"type":"page"}]})"), std::nullopt);
  EXPECT_EQ(first_page_target("not json"), std::nullopt);
}

}  // namespace
}  // namespace morvane
