// A small X client for the host's desktop tests.
//   desktop_probe window W H   maps a W x H window with the keyboard focus, prints "ready",
//                              then one JSON line per key or button event it receives:
//                              {"t":"kp","code":38,"keysym":97,"text":"a"}, "kr", "bp", "br"
//                              (buttons with "x" and "y"); ends when its input closes.
//   desktop_probe state        prints {"x":..,"y":..,"buttons":[..],"keys":[..],"owner":..}:
//                              the pointer, the buttons and the keycodes held right now,
//                              and the window that owns the CLIPBOARD selection.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "test_window.h"

namespace {

using vantriel::testing::TestWindow;

int watch(int width, int height) {
  TestWindow window(width, height);
  if (window.display() == nullptr) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    pollfd in{0, POLLIN, 0};
    if (::poll(&in, 1, 0) > 0) {
      char buf[64];
      if (::read(0, buf, sizeof buf) <= 0) return 0;
    }
    const auto e = window.next(100);
    if (!e) continue;
    nlohmann::json line;
    switch (e->type) {
      case KeyPress: line["t"] = "kp"; break;
      case KeyRelease: line["t"] = "kr"; break;
      case ButtonPress: line["t"] = "bp"; break;
      default: line["t"] = "br"; break;
    }
    line["code"] = e->code;
    if (e->type == KeyPress || e->type == KeyRelease) {
      line["keysym"] = e->keysym;
      line["text"] = e->text;
    } else {
      line["x"] = e->x;
      line["y"] = e->y;
    }
    std::printf("%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
  }
}

int state() {
  TestWindow window(1, 1);
  if (window.display() == nullptr) return 1;
  int x = 0, y = 0;
  unsigned mask = 0;
  window.pointer(x, y, mask);
  nlohmann::json out = {{"x", x}, {"y", y}, {"buttons", nlohmann::json::array()},
                        {"keys", window.keys_down()},
                        {"owner", XGetSelectionOwner(window.display(),
                                                     XInternAtom(window.display(), "CLIPBOARD", False))}};
  const unsigned masks[] = {Button1Mask, Button2Mask, Button3Mask, Button4Mask, Button5Mask};
  for (int b = 0; b < 5; ++b) {
    if ((mask & masks[b]) != 0) out["buttons"].push_back(b + 1);
  }
  std::printf("%s\n", out.dump().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "window") == 0) {
    return watch(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  if (argc == 2 && std::strcmp(argv[1], "state") == 0) return state();
  std::fprintf(stderr, "usage: desktop_probe window W H | desktop_probe state\n");
  return 2;
}
