// The clipboard on X11 is the CLIPBOARD selection. Writing makes a window of ours its
// owner; a thread of ours ("clipboard owner") keeps that window's connection and answers
// other programs' requests for the text for as long as we own it, in UTF8_STRING, sending
// large texts in increments (INCR). Reading asks the current owner, whoever it is, for
// UTF8_STRING (or Latin-1 STRING from programs that offer nothing else) over a fresh
// connection and gives up when the owner stops answering.
//
// In a Wayland session the clipboard is the compositor's selection: through wlr-data-control
// where the compositor offers it (clipboard_wayland_linux.cpp, with the same limits), else
// through XWayland's CLIPBOARD as above; clipboard_reach.h decides which at start.
#include "input/clipboard.h"  // first: Xlib defines a macro "Status" that its header uses

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "input/clipboard_wayland_linux.h"
#include "input/x11_display.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"
#include "morvane/core/text/utf16.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A read gives up when the owner has been silent this long.
constexpr milliseconds kReadIdleTimeout(1000);
// A read never takes longer than this in all.
constexpr milliseconds kReadTotalTimeout(10000);
// Reads keep the first 4,000,000 UTF-16 units, as on Windows; at 3 bytes of UTF-8 per
// unit at most, more bytes than this are never needed.
constexpr std::size_t kMaxReadUnits = 4'000'000;
constexpr std::size_t kMaxReadBytes = 3 * kMaxReadUnits + 4;
// The owner thread gets this long to take ownership for a write.
constexpr milliseconds kWriteTimeout(2000);
// An incremental transfer whose requestor stops taking chunks is dropped after this.
constexpr milliseconds kTransferStall(5000);
// Texts above this size go in increments of this size (or less, for a server that
// takes only smaller requests).
constexpr std::size_t kChunkBytes = 256 * 1024;

struct Atoms {
  Atom clipboard, utf8_string, text, text_plain_utf8, targets, timestamp, incr, transfer, stamp;

  explicit Atoms(Display* d) {
    const char* names[] = {"CLIPBOARD",  "UTF8_STRING", "TEXT",
                           "text/plain;charset=utf-8",   "TARGETS",
                           "TIMESTAMP",  "INCR",        "VANTRIEL_CLIPBOARD",
                           "VANTRIEL_TIMESTAMP"};
    Atom atoms[9] = {};
    XInternAtoms(d, const_cast<char**>(names), 9, False, atoms);
    clipboard = atoms[0];
    utf8_string = atoms[1];
    text = atoms[2];
    text_plain_utf8 = atoms[3];
    targets = atoms[4];
    timestamp = atoms[5];
    incr = atoms[6];
    transfer = atoms[7];
    stamp = atoms[8];
  }
};

// Waits until the connection has something to read or `deadline` passes; false on time-out.
bool wait_readable(Display* d, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  pollfd p{ConnectionNumber(d), POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX))) > 0;
}

// ---------------------------------------------------------------------------- owner

class SelectionOwner {
 public:
  SelectionOwner() = default;
  SelectionOwner(const SelectionOwner&) = delete;
  SelectionOwner& operator=(const SelectionOwner&) = delete;

  ~SelectionOwner() {
    {
      morvane::MutexLock lock(mu_);
      stopping_ = true;
      if (running_) wake();
    }
    if (thread_.joinable()) thread_.join();
    for (int fd : wake_) {
      if (fd >= 0) ::close(fd);
    }
  }

  bool write(std::string text) {
    morvane::MutexLock serial(write_mu_);
    morvane::MutexLock lock(mu_);
    if (!running_ && !start_locked()) return false;
    pending_ = std::make_shared<const std::string>(std::move(text));
    const uint64_t seq = ++requested_;
    wake();
    const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
    while (completed_ < seq && running_ && cv_.wait_until(mu_, deadline)) {
    }
    return completed_ >= seq && last_result_;
  }

 private:
  struct Transfer {
    Window requestor;
    Atom property;
    Atom type;
    std::shared_ptr<const std::string> data;
    std::size_t offset;
    Clock::time_point last;
  };

  bool start_locked() REQUIRES(mu_) {
    auto conn = std::make_unique<X11Connection>();
    if (!conn->ok()) return false;
    if (wake_[0] < 0 && ::pipe(wake_) != 0) {
      wake_[0] = wake_[1] = -1;
      return false;
    }
    // A thread that ended because the server went away has set running_ false under
    // mu_, which we hold: it is past its last use of mu_ and joins at once.
    if (thread_.joinable()) thread_.join();
    running_ = true;
    // Thread "clipboard owner"; it owns the connection.
    thread_ = std::thread([this, c = std::move(conn)]() mutable {
      morvane::set_current_thread_name("clipboard owner");
      run(std::move(c));
    });
    return true;
  }

  void wake() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
  }

  void run(std::unique_ptr<X11Connection> conn) {
    Display* d = conn->display();
    const Atoms atoms(d);
    const Window window =
        XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, window, PropertyChangeMask);
    const long max_request = XExtendedMaxRequestSize(d) > 0 ? XExtendedMaxRequestSize(d)
                                                             : XMaxRequestSize(d);
    const std::size_t chunk_bytes =
        std::min<std::size_t>(kChunkBytes, static_cast<std::size_t>(max_request) * 4 - 256);
    std::shared_ptr<const std::string> owned;  // the text while we own the selection
    Time owned_since = CurrentTime;
    std::vector<Transfer> transfers;

    const auto take_ownership = [&](std::shared_ptr<const std::string> text) {
      // A real timestamp for the ownership, from a zero-length property change.
      XChangeProperty(d, window, atoms.stamp, XA_STRING, 8, PropModeAppend, nullptr, 0);
      XSync(d, False);
      XEvent e;
      Time when = CurrentTime;
      while (XCheckTypedWindowEvent(d, window, PropertyNotify, &e)) when = e.xproperty.time;
      XSetSelectionOwner(d, atoms.clipboard, window, when);
      if (XGetSelectionOwner(d, atoms.clipboard) != window) return false;
      owned = std::move(text);
      owned_since = when;
      return true;
    };

    const auto answer = [&](const XSelectionRequestEvent& req) {
      XSelectionEvent reply{};
      reply.type = SelectionNotify;
      reply.display = req.display;
      reply.requestor = req.requestor;
      reply.selection = req.selection;
      reply.target = req.target;
      reply.time = req.time;
      reply.property = None;
      const Atom property = req.property != None ? req.property : req.target;
      if (req.selection == atoms.clipboard && owned != nullptr) {
        if (req.target == atoms.targets) {
          const Atom offered[] = {atoms.targets, atoms.timestamp, atoms.utf8_string,
                                  atoms.text_plain_utf8, atoms.text};
          XChangeProperty(d, req.requestor, property, XA_ATOM, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(offered), 5);
          reply.property = property;
        } else if (req.target == atoms.timestamp) {
          const long when = static_cast<long>(owned_since);
          XChangeProperty(d, req.requestor, property, XA_INTEGER, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(&when), 1);
          reply.property = property;
        } else if (req.target == atoms.utf8_string || req.target == atoms.text_plain_utf8 ||
                   req.target == atoms.text) {
          const Atom type = req.target == atoms.text ? atoms.utf8_string : req.target;
          if (owned->size() > chunk_bytes) {
            XSelectInput(d, req.requestor, PropertyChangeMask);
            const long size = static_cast<long>(owned->size());
            XChangeProperty(d, req.requestor, property, atoms.incr, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&size), 1);
            transfers.push_back(
                Transfer{req.requestor, property, type, owned, 0, Clock::now()});
          } else {
            XChangeProperty(d, req.requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(owned->data()),
                            static_cast<int>(owned->size()));
          }
          reply.property = property;
        }
      }
      XSendEvent(d, req.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    };

    // The requestor deleted the property: the next chunk, or the empty one that ends.
    const auto next_chunk = [&](const XPropertyEvent& ev) {
      const auto t = std::find_if(transfers.begin(), transfers.end(), [&](const Transfer& x) {
        return x.requestor == ev.window && x.property == ev.atom;
      });
      if (t == transfers.end()) return;
      const std::size_t n = std::min(chunk_bytes, t->data->size() - t->offset);
      XChangeProperty(d, t->requestor, t->property, t->type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(t->data->data() + t->offset),
                      static_cast<int>(n));
      t->offset += n;
      t->last = Clock::now();
      if (n == 0) {
        const Window requestor = t->requestor;
        transfers.erase(t);
        if (std::none_of(transfers.begin(), transfers.end(),
                         [&](const Transfer& x) { return x.requestor == requestor; })) {
          XSelectInput(d, requestor, NoEventMask);
        }
      }
    };

    while (conn->ok()) {
      std::shared_ptr<const std::string> text;
      uint64_t seq = 0;
      {
        morvane::MutexLock lock(mu_);
        if (stopping_) break;
        if (completed_ < requested_) {
          text = std::move(pending_);
          seq = requested_;
        }
      }
      if (seq != 0) {
        const bool ok = take_ownership(std::move(text));
        morvane::MutexLock lock(mu_);
        completed_ = seq;
        last_result_ = ok;
        cv_.notify_all();
      }
      while (conn->ok() && XPending(d) > 0) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == SelectionRequest) {
          answer(e.xselectionrequest);
        } else if (e.type == SelectionClear && e.xselectionclear.selection == atoms.clipboard) {
          // A clear can still be queued from a loss before our latest take-over (it was
          // read in by the XSync of take_ownership): only the server knows who owns now.
          if (XGetSelectionOwner(d, atoms.clipboard) != window) owned.reset();
        } else if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) {
          next_chunk(e.xproperty);
        }
      }
      const auto now = Clock::now();
      std::erase_if(transfers, [&](const Transfer& t) { return now - t.last > kTransferStall; });
      XFlush(d);
      pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, transfers.empty() ? -1 : 1000) > 0 && (fds[1].revents & POLLIN)) {
        char drain[64];
        [[maybe_unused]] const ssize_t n = ::read(wake_[0], drain, sizeof drain);
      }
    }
    // The server went away (the next write starts a new owner), or the owner stops.
    if (conn->ok()) XDestroyWindow(d, window);
    X11Connection::dispose(std::move(conn));
    morvane::MutexLock lock(mu_);
    running_ = false;
    cv_.notify_all();
  }

  morvane::Mutex write_mu_ ACQUIRED_BEFORE(mu_);  // one write at a time
  morvane::Mutex mu_;
  morvane::CondVar cv_;
  bool running_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::shared_ptr<const std::string> pending_ GUARDED_BY(mu_);
  uint64_t requested_ GUARDED_BY(mu_) = 0;
  uint64_t completed_ GUARDED_BY(mu_) = 0;
  bool last_result_ GUARDED_BY(mu_) = false;
  int wake_[2] = {-1, -1};
  std::thread thread_;  // "clipboard owner"; (re)started under mu_, joined by the destructor
};

// ---------------------------------------------------------------------------- reader

// Asks the owner for `target` into our transfer property of `window`; false on time-out,
// else `property_out` is where the owner put it (None: refused).
bool request_selection(Display* d, const Atoms& atoms, Window window, Atom target,
                       Clock::time_point deadline, Atom& property_out) {
  XConvertSelection(d, atoms.clipboard, target, atoms.transfer, window, CurrentTime);
  XFlush(d);
  const auto idle_deadline = [&] { return std::min(deadline, Clock::now() + kReadIdleTimeout); };
  auto until = idle_deadline();
  for (;;) {
    while (XPending(d) > 0) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type == SelectionNotify && e.xselection.requestor == window) {
        property_out = e.xselection.property;
        return true;
      }
    }
    if (!wait_readable(d, until)) return false;
  }
}

// Reads and deletes `property` of `window`: its bytes, type and format.
bool take_property(Display* d, Window window, Atom property, std::string& bytes, Atom& type,
                   int& format) {
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, window, property, 0, static_cast<long>(kMaxReadBytes / 4 + 1), True,
                         AnyPropertyType, &type, &format, &items, &after, &data) != Success) {
    return false;
  }
  const std::size_t size = format == 8 ? items : format == 16 ? items * 2 : items * sizeof(long);
  bytes.assign(reinterpret_cast<const char*>(data), data != nullptr ? size : 0);
  if (data != nullptr) XFree(data);
  return true;
}

enum class ReadResult { kText, kRefused, kFailed };

// The selection's bytes in `target`, or the owner's refusal, or a failure (time-out,
// bad reply).
ReadResult read_target(Display* d, const Atoms& atoms, Window window, Atom target,
                       Clock::time_point deadline, std::string& out) {
  Atom property = None;
  if (!request_selection(d, atoms, window, target, deadline, property)) {
    return ReadResult::kFailed;
  }
  if (property == None) return ReadResult::kRefused;
  Atom type = None;
  int format = 0;
  std::string bytes;
  if (!take_property(d, window, atoms.transfer, bytes, type, format)) {
    return ReadResult::kFailed;
  }
  if (type != atoms.incr) {
    if (format != 8) return ReadResult::kFailed;
    out = std::move(bytes);
    return ReadResult::kText;
  }
  // Incremental: every deletion (done by take_property) asks for the next chunk; an
  // empty chunk ends the text.
  out.clear();
  auto until = std::min(deadline, Clock::now() + kReadIdleTimeout);
  for (;;) {
    bool chunk_ready = false;
    while (!chunk_ready && XPending(d) > 0) {
      XEvent e;
      XNextEvent(d, &e);
      chunk_ready = e.type == PropertyNotify && e.xproperty.window == window &&
                    e.xproperty.atom == atoms.transfer && e.xproperty.state == PropertyNewValue;
    }
    if (!chunk_ready) {
      if (!wait_readable(d, until)) return ReadResult::kFailed;
      continue;
    }
    if (!take_property(d, window, atoms.transfer, bytes, type, format) || format != 8) {
      return ReadResult::kFailed;
    }
    if (bytes.empty()) return ReadResult::kText;
    if (out.size() + bytes.size() > kMaxReadBytes) {
      out.append(bytes, 0, kMaxReadBytes - out.size());
      return ReadResult::kText;  // long enough: the rest would be cut anyway
    }
    out += bytes;
    until = std::min(deadline, Clock::now() + kReadIdleTimeout);
  }
}

std::string latin1_to_utf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (const char c : latin1) morvane::append_utf8(out, static_cast<unsigned char>(c));
  return out;
}


// The facts of this process's session that the clipboard's way depends on: the sockets,
// whether the compositor offers data-control, whether an X connection opens.
ClipboardReach system_clipboard_reach() {
  SessionFacts facts = session_facts_from_environment();
  if (facts.wayland_display && is_wayland_session(facts)) {
    facts.wlroots_data_control = wayland_offers_data_control();
  }
  if (facts.x_display && decide_clipboard_reach(facts).method != "wlroots") {
    facts.x_reachable = X11Connection().ok();
  }
  return decide_clipboard_reach(facts);
}

morvane::Result<std::string> read_x11_text() {
  X11Connection conn;
  Display* d = conn.display();
  if (d == nullptr) return morvane::make_error("the X server does not answer");
  const Atoms atoms(d);
  if (XGetSelectionOwner(d, atoms.clipboard) == None) return std::string();
  const Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(d, window, PropertyChangeMask);
  const auto deadline = Clock::now() + kReadTotalTimeout;
  std::string text;
  ReadResult got = read_target(d, atoms, window, atoms.utf8_string, deadline, text);
  if (got == ReadResult::kRefused) {
    got = read_target(d, atoms, window, XA_STRING, deadline, text);
    if (got == ReadResult::kText) text = latin1_to_utf8(text);
  }
  if (conn.ok()) XDestroyWindow(d, window);
  if (got == ReadResult::kFailed) {
    return morvane::make_error(
        "the program that holds the X11 clipboard did not answer in time or sent a bad reply");
  }
  if (got == ReadResult::kRefused) return std::string();  // no text: a picture, files
  return morvane::utf8_prefix_by_utf16_units(text, kMaxReadUnits);
}

}  // namespace

struct Clipboard::Owner {
  SelectionOwner selection;        // X11
  WaylandSelectionOwner wayland;   // wlr-data-control

  // The way to the clipboard: decided at start, and again at each use while there is
  // none, so that a desktop that comes up after the host (or an X server that was not
  // answering) is reached once it is there. A way once found is kept: its own code copes
  // with a display that goes away and comes back.
  ClipboardReach current() {
    morvane::MutexLock lock(mu);
    if (!reach.possible) reach = system_clipboard_reach();
    return reach;
  }

 private:
  morvane::Mutex mu;
  ClipboardReach reach GUARDED_BY(mu) = system_clipboard_reach();
};

Clipboard::Clipboard() : owner_(std::make_unique<Owner>()) {}
Clipboard::~Clipboard() = default;

ClipboardReach Clipboard::reach() const { return owner_->current(); }

morvane::Result<std::string> Clipboard::read_text() {
  const ClipboardReach reach = owner_->current();
  if (reach.method == "x11") return read_x11_text();
  if (reach.method != "wlroots") {
    return morvane::make_error("no way to this session's clipboard: " + reach.why);
  }
  std::optional<std::string> text = read_wayland_selection(
      kMaxReadBytes, static_cast<int>(kReadIdleTimeout.count()),
      static_cast<int>(kReadTotalTimeout.count()));
  if (!text) {
    return morvane::make_error(
        "the compositor or the program that holds the Wayland selection did not answer in time");
  }
  return morvane::utf8_prefix_by_utf16_units(*text, kMaxReadUnits);
}

bool Clipboard::write_text(std::string_view utf8) {
  // Other programs are promised UTF-8: invalid sequences go out as U+FFFD.
  std::string text = morvane::utf8_prefix_by_utf16_units(utf8, std::string::npos);
  const ClipboardReach reach = owner_->current();
  if (reach.method == "x11") return owner_->selection.write(std::move(text));
  if (reach.method == "wlroots") return owner_->wayland.write(std::move(text));
  return false;
}

}  // namespace vantriel
