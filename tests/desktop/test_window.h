// A test X client: a window with the keyboard focus, the pointer and the keyboard state.
#ifndef VANTRIEL_TESTS_DESKTOP_TEST_WINDOW_H_
#define VANTRIEL_TESTS_DESKTOP_TEST_WINDOW_H_

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <clocale>
#include <optional>
#include <string>
#include <vector>

namespace vantriel::testing {

// A connection of our own and a window with the keyboard focus that reports what it
// receives, as an application would see it (text through an input context). With no
// window manager on the test servers, the window sits exactly at (x, y).
class TestWindow {
 public:
  TestWindow(int width, int height, int x = 0, int y = 0, bool motion = false) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    XSetLocaleModifiers("@im=none");
    d_ = XOpenDisplay(nullptr);
    if (d_ == nullptr) return;
    window_ = XCreateSimpleWindow(d_, DefaultRootWindow(d_), x, y, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), 0, 0, 0);
    XSelectInput(d_, window_,
                 KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                     StructureNotifyMask | (motion ? PointerMotionMask : 0));
    XMapWindow(d_, window_);
    for (XEvent e;;) {
      XNextEvent(d_, &e);
      if (e.type == MapNotify) break;
    }
    XSetInputFocus(d_, window_, RevertToParent, CurrentTime);
    if ((im_ = XOpenIM(d_, nullptr, nullptr, nullptr)) != nullptr) {
      ic_ = XCreateIC(im_, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow,
                      window_, XNFocusWindow, window_, nullptr);
    }
    XSync(d_, False);
  }
  ~TestWindow() {
    if (ic_ != nullptr) XDestroyIC(ic_);
    if (im_ != nullptr) XCloseIM(im_);
    if (d_ != nullptr) XCloseDisplay(d_);
  }

  Display* display() const { return d_; }

  struct Event {
    int type;
    unsigned code;  // keycode or button
    KeySym keysym;
    std::string text;
    int x, y;
    Time time = 0;  // the X server's, in milliseconds
  };

  // Paints the whole window in `rgb` (0xRRGGBB) and returns once the server has done it.
  void fill(unsigned long rgb) {
    XColor c{};
    c.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 257);
    c.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 257);
    c.blue = static_cast<unsigned short>((rgb & 0xFF) * 257);
    XAllocColor(d_, DefaultColormap(d_, DefaultScreen(d_)), &c);
    XSetWindowBackground(d_, window_, c.pixel);
    XClearWindow(d_, window_);
    XSync(d_, False);
  }

  // The next key, button or (when asked for) motion event, waiting up to `timeout_ms`.
  std::optional<Event> next(int timeout_ms) {
    for (;;) {
      while (XPending(d_) > 0) {
        XEvent e;
        XNextEvent(d_, &e);
        // Like every well-behaved client, pick up keymap changes (ours bind spare keys).
        if (e.type == MappingNotify) {
          XRefreshKeyboardMapping(&e.xmapping);
          continue;
        }
        if (XFilterEvent(&e, None)) continue;
        if (e.type == KeyPress || e.type == KeyRelease) {
          Event ev{e.type, e.xkey.keycode, NoSymbol, {}, 0, 0, e.xkey.time};
          if (e.type == KeyPress) {
            char buf[64];
            Status status = 0;
            int n = ic_ != nullptr
                        ? Xutf8LookupString(ic_, &e.xkey, buf, sizeof buf, &ev.keysym, &status)
                        : XLookupString(&e.xkey, buf, sizeof buf, &ev.keysym, nullptr);
            ev.text.assign(buf, static_cast<std::size_t>(std::max(n, 0)));
            if (ev.keysym == NoSymbol) server_lookup(e.xkey, ev);
          } else {
            ev.keysym = XLookupKeysym(&e.xkey, 0);
          }
          return ev;
        }
        if (e.type == ButtonPress || e.type == ButtonRelease) {
          return Event{e.type,      e.xbutton.button, NoSymbol,      {},
                       e.xbutton.x, e.xbutton.y,      e.xbutton.time};
        }
        if (e.type == MotionNotify) {
          return Event{e.type, 0, NoSymbol, {}, e.xmotion.x, e.xmotion.y, e.xmotion.time};
        }
      }
      pollfd p{ConnectionNumber(d_), POLLIN, 0};
      if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    }
  }

  // Every key and button event that arrives until the server has been quiet for a while.
  std::vector<Event> events() {
    std::vector<Event> out;
    XSync(d_, False);
    while (auto e = next(300)) out.push_back(*e);
    return out;
  }

  void pointer(int& x, int& y, unsigned& mask) const {
    Window root = 0, child = 0;
    int wx = 0, wy = 0;
    XQueryPointer(d_, DefaultRootWindow(d_), &root, &child, &x, &y, &wx, &wy, &mask);
  }

  std::vector<int> keys_down() const {
    char keys[32];
    XQueryKeymap(d_, keys);
    std::vector<int> down;
    for (int k = 0; k < 256; ++k) {
      if ((keys[k / 8] >> (k % 8)) & 1) down.push_back(k);
    }
    return down;
  }

 private:
  // Xlib updates its copy of the keymap piecemeal after a MappingNotify and was seen to
  // miss keys that XChangeKeyboardMapping had just bound (intermittently, once the copy
  // was loaded); the server's own mapping is then the reference.
  void server_lookup(const XKeyEvent& key, Event& ev) {
    int per = 0;
    KeySym* syms = XGetKeyboardMapping(d_, static_cast<KeyCode>(key.keycode), 1, &per);
    if (syms == nullptr) return;
    ev.keysym = syms[(key.state & ShiftMask) != 0 && per > 1 ? 1 : 0];
    XFree(syms);
    const KeySym k = ev.keysym;
    const unsigned long cp = (k >= 0x20 && k <= 0x7E) || (k >= 0xA0 && k <= 0xFF) ? k
                             : (k & 0xFF000000) == 0x01000000                     ? k & 0xFFFFFF
                                                                                  : 0;
    if (cp == 0) return;
    std::string& out = ev.text;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  Display* d_ = nullptr;
  Window window_ = 0;
  XIM im_ = nullptr;
  XIC ic_ = nullptr;
};

}  // namespace vantriel::testing

#endif  // VANTRIEL_TESTS_DESKTOP_TEST_WINDOW_H_
