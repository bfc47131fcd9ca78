// The X11 halves of desktop control against a real X server (a private Xvfb) and real
// X clients: this test's own window and connection, xclip and xrandr.
#include <poll.h>

#include <clocale>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/json_body.h"
#include "input/clipboard.h"
#include "input/desktop.h"
#include "input/input_decoder.h"
#include "input/monitors.h"
#include "xvfb_server.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include "test_window.h"
#include <X11/XKBlib.h>
#include "morvane/core/text/utf16.h"

namespace vantriel {
namespace {

// The desktop the host would own, made on first use and shared by every test here.
Desktop& desktop() {
  static Desktop shared;
  return shared;
}

using Json = nlohmann::ordered_json;

// A request body with these events for monitor 0, read as the server reads it.
InputBatch batch_of(const std::string& events_json) {
  return read_input_batch("{\"mon\":0,\"ev\":" + events_json + "}", kMaxBodyNesting);
}
using ::testing::ElementsAre;

constexpr int kWidth = 3840;
constexpr int kHeight = 1080;

testing::XvfbServer* g_xvfb = nullptr;

class XvfbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_xvfb = new testing::XvfbServer(std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24");
    ASSERT_FALSE(g_xvfb->display().empty()) << "Xvfb did not start";
    ::setenv("DISPLAY", g_xvfb->display().c_str(), 1);
  }
  void TearDown() override {
    delete g_xvfb;
    g_xvfb = nullptr;
  }
};

// Output of a shell command, or nullopt when it failed.
std::optional<std::string> run(const std::string& command) {
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[65536];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  return ::pclose(p) == 0 ? std::optional<std::string>(out) : std::nullopt;
}

bool run_with_input(const std::string& command, const std::string& input) {
  FILE* p = ::popen(command.c_str(), "w");
  if (p == nullptr) return false;
  std::fwrite(input.data(), 1, input.size(), p);
  return ::pclose(p) == 0;
}

constexpr unsigned kAnyButton = Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;

// ------------------------------------------------------------------------------ monitors

TEST(X11MonitorsTest, RandrDescribesTheScreenAndItsPrimaryFlag) {
  // One connection, as the host keeps one.
  MonitorSource::System system;
  std::vector<MonitorInfo> monitors = system.monitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].x, 0);
  EXPECT_EQ(monitors[0].y, 0);
  EXPECT_EQ(monitors[0].w, kWidth);
  EXPECT_EQ(monitors[0].h, kHeight);
  EXPECT_FALSE(monitors[0].name.empty());
  const VirtualDesktop desk = system.virtual_desktop();
  EXPECT_EQ(desk.w, kWidth);
  EXPECT_EQ(desk.h, kHeight);

  // Make the output primary, as xrandr sees it, and the flag follows.
  const auto listing = run("xrandr --listmonitors 2>/dev/null");
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->find('*') != std::string::npos, monitors[0].primary);
  ASSERT_TRUE(run("xrandr --output " + monitors[0].name + " --primary 2>/dev/null"));
  monitors = system.monitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_TRUE(monitors[0].primary);
  EXPECT_EQ(monitors_json(monitors)[0]["name"], monitors[0].name);
}

// ------------------------------------------------------------------------------ input

class X11InputTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(window_.display(), nullptr); }

  int apply(const std::string& events, int monitor = 0) {
    return decoder_.apply(batch_of(events).events, monitors_, monitor, bounding_desktop(monitors_));
  }

  // Two monitors side by side over the one wide screen, the secondary left of the
  // primary, as Windows would place them.
  std::vector<MonitorInfo> monitors_ = {{0, 0, 0, 1920, 1080, true, "right"},
                                        {1, -1920, 0, 1920, 1080, false, "left"}};
  std::unique_ptr<InputSink> sink_ = make_system_input_sink(InputReach{true, "xtest", ""});
  InputDecoder decoder_{*sink_};
  testing::TestWindow window_{kWidth, kHeight};
};

TEST_F(X11InputTest, PointerLandsOnTheExpectedPixelOfEachMonitor) {
  struct Case {
    int monitor;
    const char* fx;
    const char* fy;
    int x, y;
  };
  for (const Case& c : {Case{1, "0", "0", 0, 0}, Case{1, "1", "1", 1919, 1079},
                        Case{1, "0.5", "0.25", 960, 270}, Case{0, "0", "0", 1920, 0},
                        Case{0, "1", "1", 3839, 1079}, Case{0, "0.75", "0.5", 3359, 540},
                        Case{0, "1.5", "-2", 3839, 0}}) {
    EXPECT_EQ(apply(std::string(R"([{"k":"m","x":)") + c.fx + R"(,"y":)" + c.fy + "}]",
                    c.monitor),
              1);
    int x = -1, y = -1;
    unsigned mask = 0;
    window_.pointer(x, y, mask);
    EXPECT_EQ(x, c.x) << c.monitor << " " << c.fx << "," << c.fy;
    EXPECT_EQ(y, c.y) << c.monitor << " " << c.fx << "," << c.fy;
  }
}

TEST_F(X11InputTest, TheSystemMonitorListDrivesApplyInput) {
  // No test hook here: XRandR's one monitor and the root window.
  EXPECT_EQ(desktop().apply_input(batch_of(R"([{"k":"m","x":0.25,"y":0.75}])")), 1);
  int x = -1, y = -1;
  unsigned mask = 0;
  window_.pointer(x, y, mask);
  EXPECT_EQ(x, 960);
  EXPECT_EQ(y, 809);
}

TEST_F(X11InputTest, ClicksAndWheelReachTheWindow) {
  window_.events();
  apply(R"([{"k":"d","b":0,"x":0.5,"y":0.5},{"k":"u","b":0,"x":0.5,"y":0.5},
            {"k":"d","b":2},{"k":"u","b":2},{"k":"d","b":1},{"k":"u","b":1},
            {"k":"d","b":3},{"k":"u","b":3},{"k":"d","b":4},{"k":"u","b":4},
            {"k":"w","dy":240},{"k":"w","dy":-120,"dx":120},{"k":"w","dx":-60},{"k":"w","dx":-60}])");
  std::vector<std::pair<int, unsigned>> seen;
  int px = -1, py = -1;
  for (const auto& e : window_.events()) {
    seen.emplace_back(e.type, e.code);
    if (px < 0) {
      px = e.x;
      py = e.y;
    }
  }
  EXPECT_EQ(px, 2880);
  EXPECT_EQ(py, 540);
  const auto click = [](unsigned b) {
    return std::vector<std::pair<int, unsigned>>{{ButtonPress, b}, {ButtonRelease, b}};
  };
  std::vector<std::pair<int, unsigned>> expected;
  for (unsigned b : {1u, 3u, 2u, 8u, 9u, 4u, 4u, 5u, 7u, 6u}) {
    const auto c = click(b);
    expected.insert(expected.end(), c.begin(), c.end());
  }
  EXPECT_EQ(seen, expected);
}

TEST_F(X11InputTest, KeysReachTheWindowWithTheirKeycodes) {
  window_.events();
  EXPECT_EQ(apply(R"([{"k":"kd","c":"KeyA"},{"k":"ku","c":"KeyA"},
                      {"k":"kd","c":"AltRight"},{"k":"kd","c":"KeyQ"},{"k":"ku","c":"KeyQ"},
                      {"k":"ku","c":"AltRight"},
                      {"k":"kd","c":"ArrowUp"},{"k":"ku","c":"ArrowUp"},
                      {"k":"kd","c":"NumpadEnter"},{"k":"ku","c":"NumpadEnter"},
                      {"k":"kd","c":"ControlRight"},{"k":"ku","c":"ControlRight"},
                      {"k":"kd","c":"Delete"},{"k":"ku","c":"Delete"},
                      {"k":"kd","c":"Pause"},{"k":"ku","c":"Pause"}])"),
            16);
  std::vector<KeySym> pressed;
  for (const auto& e : window_.events()) {
    if (e.type == KeyPress) pressed.push_back(e.keysym);
  }
  // The AltGr key of a keyboard with one gives the third level of the next key; with this
  // server's US layout it is Alt_R and Q stays q.
  EXPECT_THAT(pressed, ElementsAre(XK_a, XK_Alt_R, XK_q, XK_Up, XK_KP_Enter, XK_Control_R,
                                   XK_Delete, XK_Pause));
}

TEST_F(X11InputTest, AltGrGivesTheThirdLevelOnALayoutThatHasOne) {
  if (!run("setxkbmap es 2>/dev/null")) GTEST_SKIP() << "setxkbmap cannot load the es layout";
  window_.events();
  apply(R"([{"k":"kd","c":"AltRight"},{"k":"kd","c":"Digit2"},{"k":"ku","c":"Digit2"},
            {"k":"ku","c":"AltRight"},{"k":"kd","c":"KeyE"},{"k":"ku","c":"KeyE"}])");
  std::string typed;
  for (const auto& e : window_.events()) typed += e.type == KeyPress ? e.text : "";
  (void)run("setxkbmap us 2>/dev/null");
  EXPECT_EQ(typed, "@e");
}

TEST_F(X11InputTest, TypedTextArrivesAsTheSameCharacters) {
  // A key first, so that the window has looked the keymap up before spare keys change it.
  apply(R"([{"k":"kd","c":"KeyA"},{"k":"ku","c":"KeyA"}])");
  window_.events();
  const std::string text = "Hola, ¿qué tal? áéíóú ñÑ ü € 😀 日本\nok";
  EXPECT_EQ(apply(Json::array({Json{{"k", "t"}, {"s", text}}}).dump()), 1);
  std::string typed;
  for (const auto& e : window_.events()) {
    if (e.type != KeyPress) continue;
    typed += e.keysym == XK_Return ? "\n" : e.text;
  }
  EXPECT_EQ(typed, text);
  // Typing leaves nothing held.
  EXPECT_TRUE(window_.keys_down().empty());
}

TEST_F(X11InputTest, TheKeymapIsRestoredAfterTyping) {
  Display* d = window_.display();
  int min_kc = 0, max_kc = 0, per = 0;
  XDisplayKeycodes(d, &min_kc, &max_kc);
  const auto keymap = [&] {
    KeySym* map = XGetKeyboardMapping(d, static_cast<KeyCode>(min_kc), max_kc - min_kc + 1, &per);
    std::vector<KeySym> out(map, map + (max_kc - min_kc + 1) * per);
    XFree(map);
    return out;
  };
  const std::vector<KeySym> before = keymap();
  {
    std::unique_ptr<InputSink> sink = make_system_input_sink(InputReach{true, "xtest", ""});
    InputDecoder decoder(*sink);
    decoder.apply(batch_of(R"([{"k":"t","s":"ñ€😀ÀÉ"}])").events, monitors_, 0,
                  bounding_desktop(monitors_));
    EXPECT_NE(keymap(), before);  // spare keycodes bound while typing
  }
  EXPECT_EQ(keymap(), before);
}

// A held key types once until the technician's keyboard repeats it, however late its
// release comes: each repeat (another key down) types one more, and the server's own
// repeat, on for the server's keyboard, stays off for injected keys.
TEST_F(X11InputTest, AHeldKeyRepeatsOnlyAsTheTechniciansKeyboardDoes) {
  Display* d = window_.display();
  unsigned delay = 0, interval = 0;
  ASSERT_TRUE(XkbGetAutoRepeatRate(d, XkbUseCoreKbd, &delay, &interval));
  window_.events();
  apply(R"([{"k":"kd","c":"KeyB"}])");
  ::poll(nullptr, 0, static_cast<int>(delay + 4 * interval));  // past the server's repeat
  apply(R"([{"k":"kd","c":"KeyB"}])");
  apply(R"([{"k":"kd","c":"KeyB"},{"k":"kd","c":"KeyB"}])");
  apply(R"([{"k":"ku","c":"KeyB"}])");
  int presses = 0;  // counted once released: while held, the server's repeat would go on
  for (const auto& e : window_.events()) presses += e.type == KeyPress && e.keysym == XK_b ? 1 : 0;
  EXPECT_EQ(presses, 4);
  EXPECT_TRUE(window_.keys_down().empty());
}

TEST_F(X11InputTest, ReleaseAllLeavesNothingHeld) {
  apply(R"([{"k":"kd","c":"ShiftLeft"},{"k":"kd","c":"ControlRight"},{"k":"kd","c":"KeyZ"},
            {"k":"kd","c":"NumLock"},{"k":"d","b":0,"x":0.1,"y":0.1},{"k":"d","b":2},
            {"k":"d","b":1},{"k":"d","b":3}])");
  int x = 0, y = 0;
  unsigned mask = 0;
  window_.pointer(x, y, mask);
  EXPECT_EQ(mask & kAnyButton, static_cast<unsigned>(Button1Mask | Button2Mask | Button3Mask));
  EXPECT_EQ(window_.keys_down().size(), 4u);
  EXPECT_EQ(apply(R"([{"k":"rel"}])"), 1);
  window_.pointer(x, y, mask);
  EXPECT_EQ(mask & kAnyButton, 0u);
  EXPECT_TRUE(window_.keys_down().empty());
}

// ------------------------------------------------------------------------------ clipboard

// Our read of the clipboard, with a failure told apart from an empty text.
std::string our_read() {
  morvane::Result<std::string> text = desktop().read_clipboard();
  return text ? *text : "<failed: " + text.error() + ">";
}

std::string xclip_out() { return run("xclip -o -selection clipboard 2>/dev/null").value_or("<failed>"); }

// xclip -i owns the selection from a background process that only tells the server once it
// gets there; wait (up to 20 s) until the owner is no longer the one before.
bool xclip_in(const std::string& text) {
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) return false;
  const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  const Window before = XGetSelectionOwner(d, clipboard);
  bool ok = run_with_input("xclip -i -selection clipboard 2>/dev/null", text);
  for (int k = 0; ok && XGetSelectionOwner(d, clipboard) == before; ++k) {
    ok = k < 2000;
    ::poll(nullptr, 0, 10);
  }
  XCloseDisplay(d);
  return ok;
}

TEST(X11ClipboardTest, TextRoundTripsWithAnotherProgram) {
  for (const std::string& text : {std::string("hola ñandú € 😀 \U0010FFFF"), std::string("x"),
                                 std::string("línea 1\nlínea 2\n")}) {
    ASSERT_TRUE(desktop().write_clipboard(text));
    EXPECT_EQ(xclip_out(), text);
    EXPECT_EQ(our_read(), text);  // from our own owner thread
    ASSERT_TRUE(xclip_in(text + "!"));
    EXPECT_EQ(our_read(), text + "!");
  }
}

TEST(X11ClipboardTest, LargeTextsGoBothWays) {
  // 1,000,000 characters of 1 to 4 bytes: several MB, far past one X request.
  std::string big;
  const char* pieces[] = {"a", "ñ", "€", "😀"};
  for (int k = 0; k < 1'000'000; ++k) big += pieces[k % 4];
  ASSERT_TRUE(desktop().write_clipboard(big));
  const std::string out = xclip_out();
  EXPECT_EQ(out.size(), big.size());
  EXPECT_TRUE(out == big);
  ASSERT_TRUE(xclip_in(big + "."));
  const std::string in = our_read();
  EXPECT_EQ(in.size(), big.size() + 1);
  EXPECT_TRUE(in == big + ".");
}

TEST(X11ClipboardTest, ReadsStopAtFourMillionUnits) {
  // 2,500,000 emoji are 5,000,000 UTF-16 units: the first 2,000,000 emoji are kept.
  std::string huge;
  huge.reserve(10'000'000);
  for (int k = 0; k < 2'500'000; ++k) huge += "😀";
  ASSERT_TRUE(xclip_in(huge));
  const std::string in = our_read();
  EXPECT_EQ(in.size(), 8'000'000u);
  EXPECT_EQ(morvane::utf8_to_utf16(in).size(), 4'000'000u);
}

TEST(X11ClipboardTest, EmptyTextAndNoOwner) {
  ASSERT_TRUE(desktop().write_clipboard(""));
  EXPECT_EQ(xclip_out(), "");
  EXPECT_EQ(our_read(), "");
  // A program that owns the selection and then goes away leaves none.
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(d, XInternAtom(d, "CLIPBOARD", False), w, CurrentTime);
  XSync(d, False);
  // An owner that never answers: the read gives up and says so, unlike an empty text.
  const morvane::Result<std::string> silent = desktop().read_clipboard();
  ASSERT_FALSE(silent.ok());
  EXPECT_NE(silent.error().find("did not answer"), std::string::npos) << silent.error();
  XCloseDisplay(d);
  EXPECT_EQ(our_read(), "");
  // And writing still works afterwards.
  ASSERT_TRUE(desktop().write_clipboard("de nuevo"));
  EXPECT_EQ(xclip_out(), "de nuevo");
}

}  // namespace
}  // namespace vantriel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new vantriel::XvfbEnvironment);
  return RUN_ALL_TESTS();
}
