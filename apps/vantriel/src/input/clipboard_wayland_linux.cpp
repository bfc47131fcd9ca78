// wlr-data-control: a client binds the manager and a seat, gets the seat's data device and
// hears of each selection as an offer with its types; it reads an offer by handing the
// compositor the write end of a pipe, which the offering program fills and closes. To set
// the selection, a client makes a source, offers types and is asked to write its text into
// a pipe for each paste, until the compositor cancels the source (another program took
// the selection).
#include "input/clipboard_wayland_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "input/wayland_io_linux.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"
#include "morvane/core/text/utf8.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace vantriel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A compositor answers a round trip within this.
constexpr milliseconds kAnswerWithin(1000);
// The source thread gets this long to set the selection for a write.
constexpr milliseconds kWriteTimeout(2000);
// A paste whose reader stops taking the text is dropped after this.
constexpr milliseconds kTransferStall(5000);
constexpr std::size_t kChunkBytes = 64 * 1024;

// Text types, in the order a reader prefers them; a source of ours offers them all.
constexpr const char* kTextTypes[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING",
                                      "STRING"};
constexpr const char kLatin1Type[] = "STRING";
// An offer's types are kept up to this many, each up to this long: enough for any text
// offer, bounded against a program that offers without end.
constexpr std::size_t kMaxOfferTypes = 64;
constexpr std::size_t kMaxTypeLength = 256;

// One connection with the first seat's data device, and the offers it announced.
struct SeatDevice {
  struct Offer {
    zwlr_data_control_offer_v1* offer = nullptr;
    std::vector<std::string> types;
  };

  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_seat* seat = nullptr;
  zwlr_data_control_manager_v1* manager = nullptr;
  zwlr_data_control_device_v1* device = nullptr;
  std::vector<std::unique_ptr<Offer>> offers;       // announced and not yet dropped
  zwlr_data_control_offer_v1* selection = nullptr;  // the current one; null: none
  bool finished = false;                            // the seat went away

  SeatDevice() = default;
  SeatDevice(const SeatDevice&) = delete;
  SeatDevice& operator=(const SeatDevice&) = delete;

  ~SeatDevice() {
    for (auto& o : offers) zwlr_data_control_offer_v1_destroy(o->offer);
    if (device != nullptr) zwlr_data_control_device_v1_destroy(device);
    if (manager != nullptr) zwlr_data_control_manager_v1_destroy(manager);
    if (seat != nullptr) wl_seat_destroy(seat);
    if (registry != nullptr) wl_registry_destroy(registry);
    if (display != nullptr) wl_display_disconnect(display);
  }

  const Offer* selection_offer() const {
    for (const auto& o : offers) {
      if (o->offer == selection && selection != nullptr) return o.get();
    }
    return nullptr;
  }

  // Connects and waits for the device's first selection; false when the compositor lacks
  // a seat or data-control, or did not answer by `deadline`.
  bool open(Clock::time_point deadline) {
    display = wl_display_connect(nullptr);
    if (display == nullptr) return false;
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, this);
    if (!timed_roundtrip(display, deadline) || seat == nullptr || manager == nullptr) {
      return false;
    }
    device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
    zwlr_data_control_device_v1_add_listener(device, &kDeviceListener, this);
    return timed_roundtrip(display, deadline);
  }

  static const wl_registry_listener kRegistryListener;
  static const zwlr_data_control_device_v1_listener kDeviceListener;
  static const zwlr_data_control_offer_v1_listener kOfferListener;
};

const wl_registry_listener SeatDevice::kRegistryListener{
    [](void* data, wl_registry* globals, uint32_t name, const char* interface, uint32_t) {
      auto* s = static_cast<SeatDevice*>(data);
      if (s->seat == nullptr && std::strcmp(interface, wl_seat_interface.name) == 0) {
        s->seat = static_cast<wl_seat*>(wl_registry_bind(globals, name, &wl_seat_interface, 1));
      } else if (s->manager == nullptr &&
                 std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
        // Version 1: the clipboard's selection only, never the primary one.
        s->manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(globals, name, &zwlr_data_control_manager_v1_interface, 1));
      }
    },
    [](void*, wl_registry*, uint32_t) {}};

const zwlr_data_control_offer_v1_listener SeatDevice::kOfferListener{
    [](void* data, zwlr_data_control_offer_v1*, const char* type) {
      auto* o = static_cast<Offer*>(data);
      if (o->types.size() < kMaxOfferTypes && std::strlen(type) <= kMaxTypeLength) {
        o->types.emplace_back(type);
      }
    }};

const zwlr_data_control_device_v1_listener SeatDevice::kDeviceListener{
    // data_offer: a new offer, whose types follow before the selection names it.
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
      auto* s = static_cast<SeatDevice*>(data);
      auto o = std::make_unique<Offer>();
      o->offer = offer;
      zwlr_data_control_offer_v1_add_listener(offer, &kOfferListener, o.get());
      s->offers.push_back(std::move(o));
    },
    // selection: every earlier offer is void now.
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
      auto* s = static_cast<SeatDevice*>(data);
      std::erase_if(s->offers, [&](const std::unique_ptr<Offer>& o) {
        if (o->offer == offer) return false;
        zwlr_data_control_offer_v1_destroy(o->offer);
        return true;
      });
      s->selection = offer;
    },
    // finished
    [](void* data, zwlr_data_control_device_v1*) { static_cast<SeatDevice*>(data)->finished = true; },
    // primary_selection: not sent at the version bound.
    [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {}};

// Reads `fd` to its end, at most `max_bytes`; false on a silence of `idle` or at `deadline`.
bool read_to_end(int fd, std::size_t max_bytes, milliseconds idle, Clock::time_point deadline,
                 std::string& out) {
  char buffer[64 * 1024];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int wait = static_cast<int>(std::min<long long>(idle.count(), ms_left(deadline)));
    const int r = poll(&p, 1, wait);
    if (r == 0) return false;
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    const std::size_t room = max_bytes - out.size();
    out.append(buffer, std::min<std::size_t>(room, static_cast<std::size_t>(n)));
    if (out.size() >= max_bytes) return true;  // long enough: the rest would be cut anyway
  }
}

std::string latin1_to_utf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (const char c : latin1) morvane::append_utf8(out, static_cast<unsigned char>(c));
  return out;
}

// Characters past Latin-1 become '?'.
std::string utf8_to_latin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (const char32_t cp : morvane::decode_utf8(utf8)) {
    out.push_back(cp <= 0xFF ? static_cast<char>(static_cast<unsigned char>(cp)) : '?');
  }
  return out;
}

// A pipe of a paste closed by its reader raises SIGPIPE in the writing thread; blocked in
// the source thread, the write fails with EPIPE instead, and the signal is taken back.
void block_sigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void take_pending_sigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  const timespec none{};
  while (sigtimedwait(&set, nullptr, &none) == SIGPIPE) {
  }
}

}  // namespace

bool wayland_offers_data_control() {
  wl_display* d = wl_display_connect(nullptr);
  if (d == nullptr) return false;
  struct Offer {
    bool seat = false;
    bool data_control = false;
  } offer;
  static const wl_registry_listener kListener{
      [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
        auto* o = static_cast<Offer*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0) o->seat = true;
        if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
          o->data_control = true;
        }
      },
      [](void*, wl_registry*, uint32_t) {}};
  wl_registry* registry = wl_display_get_registry(d);
  wl_registry_add_listener(registry, &kListener, &offer);
  const bool answered = timed_roundtrip(d, Clock::now() + kAnswerWithin);
  wl_registry_destroy(registry);
  wl_display_disconnect(d);
  return answered && offer.seat && offer.data_control;
}

std::optional<std::string> read_wayland_selection(std::size_t max_bytes, int idle_ms,
                                                  int total_ms) {
  const auto deadline = Clock::now() + milliseconds(total_ms);
  SeatDevice s;
  if (!s.open(std::min(deadline, Clock::now() + kAnswerWithin))) return std::nullopt;
  const SeatDevice::Offer* offer = s.selection_offer();
  if (offer == nullptr) return std::string();
  const char* type = nullptr;
  for (const char* t : kTextTypes) {
    if (std::find(offer->types.begin(), offer->types.end(), t) != offer->types.end()) {
      type = t;
      break;
    }
  }
  if (type == nullptr) return std::string();  // a picture, files: no text
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  zwlr_data_control_offer_v1_receive(offer->offer, type, fds[1]);
  const bool sent = flush_all(s.display, deadline);
  ::close(fds[1]);  // the request carried a copy; the reader sees the end once the writer closes
  std::string bytes;
  const bool ok = sent && read_to_end(fds[0], max_bytes, milliseconds(idle_ms), deadline, bytes);
  ::close(fds[0]);
  if (!ok) return std::nullopt;
  if (std::strcmp(type, kLatin1Type) == 0) return latin1_to_utf8(bytes);
  return bytes;
}

// ---------------------------------------------------------------------------- owner

struct WaylandSelectionOwner::State {
  morvane::Mutex write_mu ACQUIRED_BEFORE(mu);  // one write at a time
  morvane::Mutex mu;
  morvane::CondVar cv;
  bool running GUARDED_BY(mu) = false;
  bool stopping GUARDED_BY(mu) = false;
  std::shared_ptr<const std::string> pending GUARDED_BY(mu);
  uint64_t requested GUARDED_BY(mu) = 0;
  uint64_t completed GUARDED_BY(mu) = 0;
  bool last_result GUARDED_BY(mu) = false;
  int wake_fds[2] = {-1, -1};
  std::thread thread;  // "wl clipboard"; (re)started under mu, joined by the destructor

  void wake() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fds[1], &byte, 1);
  }

  bool start_locked() REQUIRES(mu) {
    auto seat = std::make_unique<SeatDevice>();
    if (!seat->open(Clock::now() + kAnswerWithin)) return false;
    if (wake_fds[0] < 0 && ::pipe2(wake_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      wake_fds[0] = wake_fds[1] = -1;
      return false;
    }
    // A thread that ended (the compositor went away) set running false under mu, which
    // we hold: it is past its last use of mu and joins at once.
    if (thread.joinable()) thread.join();
    running = true;
    // Thread "clipboard source"; it owns the connection.
    thread = std::thread([this, s = std::move(seat)]() mutable {
      morvane::set_current_thread_name("wl clipboard");
      run(std::move(s));
    });
    return true;
  }

  // What the source thread serves: our source while the selection is ours, and the pastes
  // under way.
  struct Serving {
    struct Transfer {
      int fd;
      std::shared_ptr<const std::string> data;
      std::size_t offset;
      Clock::time_point last;
    };
    zwlr_data_control_source_v1* source = nullptr;
    std::shared_ptr<const std::string> text;
    std::shared_ptr<const std::string> latin1;  // made on the first paste that asks for it
    std::vector<Transfer> transfers;

    ~Serving() {
      for (const Transfer& t : transfers) ::close(t.fd);
      if (source != nullptr) zwlr_data_control_source_v1_destroy(source);
    }

    // Writes what each reader takes now; drops those done or gone.
    void serve() {
      const auto now = Clock::now();
      std::erase_if(transfers, [&](Transfer& t) {
        bool keep = false;
        while (t.offset < t.data->size()) {
          const std::size_t n = std::min(kChunkBytes, t.data->size() - t.offset);
          const ssize_t w = ::write(t.fd, t.data->data() + t.offset, n);
          if (w > 0) {
            t.offset += static_cast<std::size_t>(w);
            t.last = now;
          } else if (w < 0 && errno == EINTR) {
            continue;
          } else {
            const int error = w < 0 ? errno : 0;
            if (error == EPIPE) take_pending_sigpipe();
            keep = error == EAGAIN && now - t.last <= kTransferStall;
            break;
          }
        }
        if (!keep) ::close(t.fd);
        return !keep;
      });
    }

    static const zwlr_data_control_source_v1_listener kListener;
  };

  void run(std::unique_ptr<SeatDevice> seat) {
    block_sigpipe();
    wl_display* d = seat->display;
    auto serving_owned = std::make_unique<Serving>();  // listener data: a fixed address
    Serving& serving = *serving_owned;

    const auto take_selection = [&](std::shared_ptr<const std::string> text) {
      zwlr_data_control_source_v1* source =
          zwlr_data_control_manager_v1_create_data_source(seat->manager);
      for (const char* t : kTextTypes) zwlr_data_control_source_v1_offer(source, t);
      zwlr_data_control_source_v1_add_listener(source, &Serving::kListener, &serving);
      zwlr_data_control_device_v1_set_selection(seat->device, source);
      // The compositor cancels the source this one replaces; it is destroyed then.
      serving.source = source;
      serving.text = std::move(text);
      serving.latin1.reset();
      return timed_roundtrip(d, Clock::now() + kAnswerWithin) && serving.source == source;
    };

    bool broken = false;
    while (!broken) {
      std::shared_ptr<const std::string> text;
      uint64_t seq = 0;
      {
        morvane::MutexLock lock(mu);
        if (stopping) break;
        if (completed < requested) {
          text = std::move(pending);
          seq = requested;
        }
      }
      if (seq != 0) {
        const bool ok = take_selection(std::move(text));
        morvane::MutexLock lock(mu);
        completed = seq;
        last_result = ok;
        cv.notify_all();
      }
      if (wl_display_dispatch_pending(d) < 0 || seat->finished) break;
      serving.serve();
      const int flushed = wl_display_flush(d);
      if (flushed < 0 && errno != EAGAIN) break;
      if (wl_display_prepare_read(d) != 0) continue;  // events queued meanwhile
      std::vector<pollfd> fds;
      fds.push_back({wl_display_get_fd(d), static_cast<short>(POLLIN | (flushed < 0 ? POLLOUT : 0)), 0});
      fds.push_back({wake_fds[0], POLLIN, 0});
      for (const auto& t : serving.transfers) fds.push_back({t.fd, POLLOUT, 0});
      const int r = ::poll(fds.data(), fds.size(), serving.transfers.empty() ? -1 : 1000);
      if (r > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP))) {
        broken = wl_display_read_events(d) < 0;
      } else {
        wl_display_cancel_read(d);
      }
      if (r > 0 && (fds[1].revents & POLLIN)) {
        char drain[64];
        while (::read(wake_fds[0], drain, sizeof drain) > 0) {
        }
      }
    }
    // The compositor went away or the seat did (the next write connects anew), or the
    // owner stops. Serving goes before the connection it speaks on.
    serving_owned.reset();
    seat.reset();
    morvane::MutexLock lock(mu);
    running = false;
    cv.notify_all();
  }
};

const zwlr_data_control_source_v1_listener WaylandSelectionOwner::State::Serving::kListener{
    // send: a program pastes; `fd` takes the text in `type`.
    [](void* data, zwlr_data_control_source_v1* asked, const char* type, int32_t fd) {
      auto* s = static_cast<Serving*>(data);
      const bool text_type = std::any_of(std::begin(kTextTypes), std::end(kTextTypes),
                                         [&](const char* t) { return std::strcmp(t, type) == 0; });
      if (asked != s->source || s->text == nullptr || !text_type ||
          ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(fd);
        return;
      }
      std::shared_ptr<const std::string> bytes = s->text;
      if (std::strcmp(type, kLatin1Type) == 0) {
        if (s->latin1 == nullptr) s->latin1 = std::make_shared<const std::string>(utf8_to_latin1(*s->text));
        bytes = s->latin1;
      }
      s->transfers.push_back(Transfer{fd, std::move(bytes), 0, Clock::now()});
    },
    // cancelled: another program took the selection (or a later source of ours did).
    [](void* data, zwlr_data_control_source_v1* gone) {
      auto* s = static_cast<Serving*>(data);
      zwlr_data_control_source_v1_destroy(gone);
      if (gone == s->source) {
        s->source = nullptr;
        s->text.reset();
        s->latin1.reset();
      }
    }};

WaylandSelectionOwner::WaylandSelectionOwner() : state_(std::make_unique<State>()) {}

WaylandSelectionOwner::~WaylandSelectionOwner() {
  {
    morvane::MutexLock lock(state_->mu);
    state_->stopping = true;
    if (state_->running) state_->wake();
  }
  if (state_->thread.joinable()) state_->thread.join();
  for (int fd : state_->wake_fds) {
    if (fd >= 0) ::close(fd);
  }
}

bool WaylandSelectionOwner::write(std::string utf8) {
  State& s = *state_;
  morvane::MutexLock serial(s.write_mu);
  morvane::MutexLock lock(s.mu);
  if (!s.running && !s.start_locked()) return false;
  s.pending = std::make_shared<const std::string>(std::move(utf8));
  const uint64_t seq = ++s.requested;
  s.wake();
  const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
  while (s.completed < seq && s.running && s.cv.wait_until(s.mu, deadline)) {
  }
  return s.completed >= seq && s.last_result;
}

}  // namespace vantriel
