// A small X client for the host's desktop tests.
//   desktop_probe window W H [X Y] [motion]
//                              maps a W x H window at (X, Y) (else 0, 0) with the keyboard
//                              focus, prints "ready", then one JSON line per key or button
//                              event it receives:
//                              {"t":"kp","code":38,"keysym":97,"text":"a","ts":..,"us":..},
//                              "kr", "bp", "br" (buttons with "x" and "y"), and with
//                              `motion` "mv" (with "x" and "y"); "ts" is the X server's time
//                              (ms), "us" CLOCK_MONOTONIC (µs) when the event was read.
//                              The input line "color RRGGBB" fills the window and answers
//                              {"t":"color","rgb":"RRGGBB","us":..} with the time the server
//                              had done it. Ends when its input closes.
//   desktop_probe state        prints {"x":..,"y":..,"buttons":[..],"keys":[..],"owner":..}:
//                              the pointer, the buttons and the keycodes held right now,
//                              and the window that owns the CLIPBOARD selection.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "test_window.h"

namespace {

using vantriel::testing::TestWindow;

// Monotonic microseconds: the same clock as Node's process.hrtime and Python's
// time.monotonic, so a test can compare these times with its own.
long long now_us() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void print(const nlohmann::json& line) {
  std::printf("%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  std::fflush(stdout);
}

// Handles one command line from the test; unknown lines are ignored.
void command(TestWindow& window, const std::string& line) {
  if (line.size() == 12 && line.compare(0, 6, "color ") == 0 &&
      line.find_first_not_of("0123456789abcdefABCDEF", 6) == std::string::npos) {
    window.fill(std::strtoul(line.c_str() + 6, nullptr, 16));
    print({{"t", "color"}, {"rgb", line.substr(6)}, {"us", now_us()}});
  }
}

int watch(int width, int height, int x, int y, bool motion) {
  TestWindow window(width, height, x, y, motion);
  if (window.display() == nullptr) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  std::string input;
  for (;;) {
    // Wait on both ends at once: a colour command must not sit behind an idle X wait.
    pollfd fds[2] = {{0, POLLIN, 0}, {ConnectionNumber(window.display()), POLLIN, 0}};
    ::poll(fds, 2, XPending(window.display()) > 0 ? 0 : -1);
    if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
      char buf[256];
      const ssize_t n = ::read(0, buf, sizeof buf);
      if (n <= 0) return 0;
      input.append(buf, static_cast<std::size_t>(n));
      for (std::size_t eol; (eol = input.find('\n')) != std::string::npos;) {
        command(window, input.substr(0, eol));
        input.erase(0, eol + 1);
      }
    }
    while (const auto e = window.next(0)) {
      const long long received = now_us();
      nlohmann::json line;
      line["t"] = e->type == KeyPress        ? "kp"
                  : e->type == KeyRelease    ? "kr"
                  : e->type == ButtonPress   ? "bp"
                  : e->type == ButtonRelease ? "br"
                                             : "mv";
      if (e->type != MotionNotify) line["code"] = e->code;
      if (e->type == KeyPress || e->type == KeyRelease) {
        line["keysym"] = e->keysym;
        line["text"] = e->text;
      } else {
        line["x"] = e->x;
        line["y"] = e->y;
      }
      line["ts"] = e->time;
      line["us"] = received;
      print(line);
    }
  }
}

int state() {
  TestWindow window(1, 1);
  if (window.display() == nullptr) return 1;
  int x = 0, y = 0;
  unsigned mask = 0;
  window.pointer(x, y, mask);
  nlohmann::json out = {
      {"x", x},
      {"y", y},
      {"buttons", nlohmann::json::array()},
      {"keys", window.keys_down()},
      {"owner",
       XGetSelectionOwner(window.display(), XInternAtom(window.display(), "CLIPBOARD", False))}};
  const unsigned masks[] = {Button1Mask, Button2Mask, Button3Mask, Button4Mask, Button5Mask};
  for (int b = 0; b < 5; ++b) {
    if ((mask & masks[b]) != 0) out["buttons"].push_back(b + 1);
  }
  std::printf("%s\n", out.dump().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "window") == 0) {
    const bool motion = argc > 4 && std::strcmp(argv[argc - 1], "motion") == 0;
    const int numbers = argc - (motion ? 5 : 4);
    if (numbers == 0 || numbers == 2) {
      const int x = numbers == 2 ? std::atoi(argv[4]) : 0;
      const int y = numbers == 2 ? std::atoi(argv[5]) : 0;
      return watch(std::atoi(argv[2]), std::atoi(argv[3]), x, y, motion);
    }
  }
  if (argc == 2 && std::strcmp(argv[1], "state") == 0) return state();
  std::fprintf(stderr, "usage: desktop_probe window W H [X Y] [motion] | desktop_probe state\n");
  return 2;
}
